"""The simulator as a child process, for tests that want it out of their own.

    with SimProcess(["--serial", "40F5849A", "--transport", "usbnode"],
                    env={"TESSALINE_DEVICE_DIR": str(tmp_path)}) as sim:
        info = sim.module(0x40F5849A)        # from the READY line
        sim.command("mute 40F5849A on")      # -> {"ok": True}

Inside a network namespace pair, start it on the module side:

    SimProcess(args, launcher=lambda argv, **kw: ns.popen("module", argv, **kw))
"""

import json
import os
import select
import subprocess
import sys

SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sim_module.py")


class SimProcess:
    def __init__(self, args, env=None, cwd=None, launcher=subprocess.Popen, ready_timeout=10.0):
        self.args = list(args)
        self.env = dict(os.environ, **(env or {}))
        self.cwd = cwd
        self.launcher = launcher
        self.ready_timeout = ready_timeout
        self.proc = None
        self.ready = None

    def start(self):
        self.proc = self.launcher([sys.executable, SIM] + self.args, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  env=self.env, cwd=self.cwd)
        try:
            line = self._line(self.ready_timeout)
            if not line.startswith("READY "):
                raise RuntimeError("simulator did not start: %s%s"
                                   % (line, self._stderr_after_exit()))
            self.ready = json.loads(line[len("READY "):])
        except BaseException:
            self.stop()
            raise
        return self

    def _line(self, timeout):
        readable, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not readable:
            raise TimeoutError("no output from the simulator within %.1f s" % timeout)
        return self.proc.stdout.readline()

    def _stderr_after_exit(self):
        try:
            self.proc.wait(2)
        except subprocess.TimeoutExpired:
            return ""
        return self.proc.stderr.read()

    def module(self, serial):
        """The READY description of a module (also of one on a router's bus)."""
        wanted = "%08X" % serial
        for info in self.ready["modules"]:
            for candidate in [info] + info.get("bus", []):
                if candidate["serial"] == wanted:
                    return candidate
        raise KeyError(wanted)

    def command(self, text, timeout=5.0):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return json.loads(self._line(timeout))

    def stop(self, timeout=5.0):
        """Asks the simulator to quit; kills it when it does not. Returns its status."""
        if self.proc is None:
            return None
        proc, self.proc = self.proc, None
        if proc.poll() is None:
            try:
                proc.stdin.write("quit\n")
                proc.stdin.flush()
            except (BrokenPipeError, OSError):
                pass
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout)
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            stream.close()
        return proc.returncode

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
