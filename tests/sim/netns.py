#!/usr/bin/python3
"""Private network namespaces for tests that need real addresses or multicast.

TCP/IP discovery sends multicast; it must never reach a real network. Tests
that run it build two fresh namespaces joined by a veth pair and run both
sides inside them:

    host   side: 10.231.0.1/24 on tsh0   (the updater, the querying client)
    module side: 10.231.0.2/24 on tsm0   (simulated modules, discovery responder)

Both have lo up and a multicast route (224.0.0.0/4) on their veth end. The
namespaces are held by two `unshare -n sleep` processes that die with the
test process; closing the pair kills them, which removes the namespaces and
the veth pair with them. Needs root, `unshare`, `nsenter` and `ip`.

Use from pytest:

    import netns
    if not netns.available():
        pytest.skip(netns.why_unavailable())
    with netns.NetnsPair() as ns:
        with ns.entered("module"):             # sockets made here live there
            sim = Simulator([ModuleConfig(serial=..., host="0.0.0.0")],
                            discovery=True).start()
        try:
            result = ns.run("host", [updater, "-D", "-t", "TCP", "-u", url],
                            timeout=30, capture_output=True)
        finally:
            sim.stop()

`ns.popen(side, argv, **kw)` starts a process in a side; `ns.entered(side)`
moves the calling thread there for the block (threads started inside the
block stay there). `run_isolated(argv)` runs one command in a single fresh
namespace that has only lo.

From a shell (the module command runs on the module side, the rest on the
host side; a module command that prints "READY ..." is waited for):

    tests/sim/netns.py --module-cmd "tests/sim/sim_module.py --serial 40F5849A \\
        --transport tcp --host 0.0.0.0 --discovery" -- build/Updater -D -t TCP -u URL
"""

import argparse
import contextlib
import ctypes
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time

HOST_ADDRESS = "10.231.0.1"
MODULE_ADDRESS = "10.231.0.2"
PREFIX = 24
HOST_IF = "tsh0"
MODULE_IF = "tsm0"
MULTICAST = "224.0.0.0/4"
CLONE_NEWNET = 0x40000000
PR_SET_PDEATHSIG = 1

_libc = ctypes.CDLL(None, use_errno=True)
_checked = None


def _die_with_parent():
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def why_unavailable():
    """None when namespaces can be made here, else the reason."""
    global _checked
    if _checked is None:
        if os.geteuid() != 0:
            _checked = "network namespaces need root"
        elif not all(shutil.which(tool) for tool in ("unshare", "nsenter", "ip")):
            _checked = "unshare, nsenter or ip is missing"
        else:
            try:
                probe = subprocess.run(["unshare", "-n", "ip", "link", "set", "lo", "up"],
                                       capture_output=True, timeout=10)
                _checked = "" if probe.returncode == 0 else (
                    "unshare -n failed: %s" % probe.stderr.decode(errors="replace").strip())
            except (OSError, subprocess.TimeoutExpired) as err:
                _checked = "unshare -n failed: %s" % err
    return _checked or None


def available():
    return why_unavailable() is None


def run_isolated(argv, **kw):
    """Runs argv in one fresh namespace with only lo (up). Pass a timeout."""
    script = 'ip link set lo up && exec "$@"'
    return subprocess.run(["unshare", "-n", "sh", "-c", script, "sh"] + list(argv), **kw)


class NetnsPair:
    SIDES = ("host", "module")

    def __init__(self):
        self._holders = {}

    # -- life cycle --------------------------------------------------------------
    def __enter__(self):
        try:
            self.open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def open(self):
        own = os.readlink("/proc/self/ns/net")
        for side in self.SIDES:
            holder = subprocess.Popen(["unshare", "-n", "sleep", "infinity"],
                                      stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
            self._holders[side] = holder
            deadline = time.monotonic() + 5
            while True:
                try:
                    if os.readlink("/proc/%d/ns/net" % holder.pid) != own:
                        break
                except OSError:
                    pass
                if holder.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("could not make a network namespace")
                time.sleep(0.01)
        module_pid = str(self._holders["module"].pid)
        self._ip("host", "link", "set", "lo", "up")
        self._ip("module", "link", "set", "lo", "up")
        self._ip("host", "link", "add", HOST_IF, "type", "veth", "peer", "name", MODULE_IF)
        self._ip("host", "link", "set", MODULE_IF, "netns", module_pid)
        for side, ifname, address in (("host", HOST_IF, HOST_ADDRESS),
                                      ("module", MODULE_IF, MODULE_ADDRESS)):
            self._ip(side, "addr", "add", "%s/%d" % (address, PREFIX), "dev", ifname)
            self._ip(side, "link", "set", ifname, "up")
            self._ip(side, "route", "add", MULTICAST, "dev", ifname)

    def close(self):
        for holder in self._holders.values():
            if holder.poll() is None:
                holder.kill()
            holder.wait(5)
        self._holders = {}

    # -- use ------------------------------------------------------------------------
    def pid(self, side):
        return self._holders[side].pid

    def address(self, side):
        return HOST_ADDRESS if side == "host" else MODULE_ADDRESS

    def command(self, side, argv):
        return ["nsenter", "-t", str(self.pid(side)), "-n", "--"] + list(argv)

    def _ip(self, side, *args):
        subprocess.run(self.command(side, ["ip"] + list(args)), check=True, capture_output=True,
                       timeout=10)

    def run(self, side, argv, **kw):
        """subprocess.run in a side; give a timeout."""
        return subprocess.run(self.command(side, argv), **kw)

    def popen(self, side, argv, **kw):
        return subprocess.Popen(self.command(side, argv), **kw)

    @contextlib.contextmanager
    def entered(self, side):
        """Moves the calling thread into a side for the block."""
        own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        target = os.open("/proc/%d/ns/net" % self.pid(side), os.O_RDONLY)
        try:
            if _libc.setns(target, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns failed")
            try:
                yield self
            finally:
                if _libc.setns(own, CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns back failed")
        finally:
            os.close(target)
            os.close(own)


def _wait_ready(proc, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        readable, _, _ = select.select([proc.stdout], [], [], 0.1)
        if readable:
            line = proc.stdout.readline()
            if not line:
                return False
            sys.stdout.write(line)
            if line.startswith("READY"):
                return True
    return False


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run a command beside simulated modules in "
                                                 "a private pair of network namespaces.")
    parser.add_argument("--module-cmd", help="command for the module side (shell words)")
    parser.add_argument("--ready-timeout", type=float, default=10)
    parser.add_argument("--timeout", type=float, default=300, help="bound on the host command")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no host command given")
    reason = why_unavailable()
    if reason:
        print("netns: %s" % reason, file=sys.stderr)
        return 2
    with NetnsPair() as ns:
        module = None
        try:
            if args.module_cmd:
                module = ns.popen("module", shlex.split(args.module_cmd), stdout=subprocess.PIPE,
                                  stdin=subprocess.PIPE, text=True)
                if not _wait_ready(module, args.ready_timeout):
                    print("netns: module command did not get ready", file=sys.stderr)
                    return 2
            return ns.run("host", command, timeout=args.timeout).returncode
        finally:
            if module is not None:
                module.terminate()
                try:
                    module.wait(5)
                except subprocess.TimeoutExpired:
                    module.kill()
                    module.wait(5)


if __name__ == "__main__":
    sys.exit(main())
