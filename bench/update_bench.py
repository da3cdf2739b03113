#!/usr/bin/python3
"""Firmware update throughput against the simulated module over TCP/IP.

Runs inside a private pair of network namespaces (TCP/IP discovery is
multicast), so it needs root. For firmware images of 256 KiB and 1 MiB it
updates the module with the real Updater on the packet path ("-m 0") and on
the UEI bytes path ("-m 1"), and prints per run: wall time of the process, time of the
firmware phase (first "Transferring firmware block" line to the transfer
summary), bytes per second of that phase and the CPU seconds of Updater.
After the updates, a minimal client measures the raw rate of 26-byte DATA
exchanges with the same module, and each packet-path run is printed as a
fraction of what that rate allows.

    bench/update_bench.py [--updater build/Updater] [--piece-size 4096] [--raw-seconds 3]
"""
import argparse
import os
import pathlib
import random
import socket
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))

import birdgen  # noqa: E402
import netns  # noqa: E402
from sim_process import SimProcess  # noqa: E402

SN = "40F5849A"
MODULE_ADDRESS = 2
UPGRADE = 0x5F
DATA = 0x01
CHUNK = 26
FIRMWARE_ADDRESS = 0x8000
RUN_TIMEOUT_S = 600
# The module is back on the network a while after the reboot that ends an update.
REBOOT_PAUSE_S = 2.0


def raw_exchange_rate(ns, port, seconds):
    """DATA exchanges per second of a plain blocking client."""
    with ns.entered("host"):
        sock = socket.create_connection((netns.MODULE_ADDRESS, port), timeout=5)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    request = bytes((MODULE_ADDRESS, 2 + CHUNK, UPGRADE, DATA)) + bytes(range(CHUNK))
    pending = b""
    exchanges = 0
    start = time.monotonic()
    try:
        while time.monotonic() - start < seconds:
            sock.sendall(request)
            answered = False
            while not answered:
                while len(pending) < 2 or len(pending) < 2 + pending[1]:
                    chunk = sock.recv(4096)
                    if not chunk:
                        raise RuntimeError("module closed the raw connection")
                    pending += chunk
                size = 2 + pending[1]
                packet, pending = pending[:size], pending[size:]
                answered = packet[0] == MODULE_ADDRESS and packet[2:4] == bytes((UPGRADE, DATA))
            exchanges += 1
    finally:
        sock.close()
    return exchanges / (time.monotonic() - start)


def run_update(ns, updater, store, bird, extra):
    argv = ns.command("host", [updater, "-U", "-d", SN, "-f", str(bird), "-u", "http://127.0.0.1:9/cgi/u",
                               "-i", str(store)] + extra)
    started = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    first = last = None
    output = []
    deadline = started + RUN_TIMEOUT_S
    for raw in proc.stdout:
        line = raw.decode(errors="replace").rstrip("\n")
        output.append(line)
        now = time.monotonic()
        if first is None and line.startswith("Transferring firmware block"):
            first = now
        if first is not None and line.startswith("Transferred "):
            last = now
        if now > deadline:
            proc.kill()
            break
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - started
    if proc.returncode != 0 or first is None or last is None:
        raise RuntimeError("update failed (%s):\n%s" % (proc.returncode, "\n".join(output)))
    return {"wall": wall, "transfer": last - first, "cpu": usage.ru_utime + usage.ru_stime}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", default=os.environ.get("UPDATER_BIN", str(ROOT / "build" / "Updater")))
    parser.add_argument("--piece-size", type=int, default=4096, help="piece size the module answers")
    parser.add_argument("--raw-seconds", type=float, default=3.0)
    args = parser.parse_args(argv)
    reason = netns.why_unavailable()
    if reason:
        print("update_bench: %s" % reason, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="update-bench-") as tmp, netns.NetnsPair() as ns:
        tmp = pathlib.Path(tmp)
        sim = SimProcess(["--serial", SN, "--transport", "tcp", "--host", "0.0.0.0", "--discovery",
                          "--flash-file", str(tmp / "flash.bin"), "--flash-size", "0x200000",
                          "--piece-size", str(args.piece_size), "--features", "0x80000000",
                          "--reboot-delay", "0.3"],
                         launcher=lambda a, **kw: ns.popen("module", a, **kw)).start()
        try:
            port = sim.module(int(SN, 16))["port"]
            print("%-8s %-7s %9s %11s %12s %8s" % ("image", "path", "wall s", "transfer s", "bytes/s", "cpu s"))
            rates = {}
            for size in (256 * 1024, 1024 * 1024):
                image = random.Random(size).randbytes(size)
                bird = tmp / ("%d.bird" % size)
                bird.write_bytes(birdgen.make_bird(firmware=[(FIRMWARE_ADDRESS, image)],
                                                   loaders=[(0x10000000, bytes(1024))], build=size,
                                                   version="2.13.0", model="TSRouter",
                                                   serial_offsets=(FIRMWARE_ADDRESS + 16, 0)))
                for path, extra in (("packet", ["-m", "0"]), ("uei", ["-m", "1"])):
                    time.sleep(REBOOT_PAUSE_S)
                    r = run_update(ns, args.updater, tmp / "home", bird, extra)
                    rate = size / r["transfer"]
                    rates[(size, path)] = rate
                    print("%-8s %-7s %9.2f %11.2f %12.0f %8.2f" % ("%d KiB" % (size // 1024), path, r["wall"],
                                                                    r["transfer"], rate, r["cpu"]))
                    sys.stdout.flush()
            time.sleep(REBOOT_PAUSE_S)
            raw = raw_exchange_rate(ns, port, args.raw_seconds)
            raw_bytes = raw * CHUNK
            print("raw DATA exchanges: %.0f /s  (%.0f image bytes/s)" % (raw, raw_bytes))
            for size in (256 * 1024, 1024 * 1024):
                print("packet path, %d KiB: %.0f%% of the raw rate" % (size // 1024,
                                                                     100.0 * rates[(size, "packet")] / raw_bytes))
            for size in (256 * 1024, 1024 * 1024):
                print("uei/packet speed-up, %d KiB: %.1fx" % (size // 1024,
                                                             rates[(size, "uei")] / rates[(size, "packet")]))
        finally:
            sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
