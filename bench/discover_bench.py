#!/usr/bin/python3
"""Discovery timings: "-D -t USB" with 1 and 8 simulated USB modules, and
"-D -r ROUTER -t USB" with 4 modules behind a router (the scan probes 125
addresses). Prints wall times (median and range of several runs), the time per
probed address, and the gap between consecutive probes after an empty address
as the router saw it (target: below 20 ms on loopback).

    bench/discover_bench.py [--updater build/Updater] [--runs 5]

Modules are simulated on driver nodes in a temporary directory; when network
namespaces can be made, the updater runs in one of its own.
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))

import netns  # noqa: E402
from sim_module import ModuleConfig, Simulator  # noqa: E402

DEAD_URL = "http://127.0.0.1:9/cgi/u"
ROUTER = 0x1000BEEF
ROUTER_ADDRESS = 0x10
BUS_ADDRESSES = (0x0A, 0x30, 0x80, 0xFC)


def run_updater(updater, devices, store, *args):
    argv = [updater, "-u", DEAD_URL, "-i", store] + list(args)
    env = dict(os.environ, TESSALINE_DEVICE_DIR=devices)
    runner = netns.run_isolated if netns.available() else subprocess.run
    started = time.monotonic()
    result = runner(argv, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL, env=env)
    elapsed = time.monotonic() - started
    if result.returncode != 0:
        raise RuntimeError("updater failed: %s" % result.stderr)
    return elapsed, result.stdout


def listed(stdout):
    return sum(1 for line in stdout.splitlines() if line.startswith("    ") and line[4:12].isalnum()
               and "Device" not in line and "No devices" not in line)


def summary(times):
    return "median %7.1f ms  (min %7.1f, max %7.1f, %d runs)" % (
        statistics.median(times) * 1e3, min(times) * 1e3, max(times) * 1e3, len(times))


def bench_usb(updater, count, runs):
    with tempfile.TemporaryDirectory(prefix="discover-bench-") as tmp:
        devices = os.path.join(tmp, "dev")
        os.mkdir(devices)
        modules = [ModuleConfig(serial=0x51000000 + i, transport="usbnode", device_dir=devices,
                                version=(2, 12, 0), build=1000 + i) for i in range(count)]
        with Simulator(modules):
            times = []
            for _ in range(runs):
                elapsed, stdout = run_updater(updater, devices, tmp, "-D", "-t", "USB")
                if listed(stdout) != count:
                    raise RuntimeError("expected %d modules listed:\n%s" % (count, stdout))
                times.append(elapsed)
    print("-D -t USB, %d module%s:   %s   %.1f ms per module" % (
        count, "" if count == 1 else "s", summary(times), statistics.median(times) * 1e3 / count))


def bench_router(updater, runs):
    with tempfile.TemporaryDirectory(prefix="discover-bench-") as tmp:
        devices = os.path.join(tmp, "dev")
        os.mkdir(devices)
        bus = [ModuleConfig(serial=0x52000000 + a, address=a, build=2000 + a) for a in BUS_ADDRESSES]
        router = ModuleConfig(serial=ROUTER, transport="usbnode", device_dir=devices, address=ROUTER_ADDRESS,
                              bus=bus)
        with Simulator([router]) as sim:
            module = sim.find(ROUTER)
            times, gaps, probes = [], [], 0
            for _ in range(runs):
                module.events.clear()
                elapsed, stdout = run_updater(updater, devices, tmp, "-D", "-r", "%08X" % ROUTER, "-t", "USB")
                if listed(stdout) != len(bus):
                    raise RuntimeError("expected %d modules listed:\n%s" % (len(bus), stdout))
                times.append(elapsed)
                writes = [(t, d["address"]) for t, kind, d in module.events if kind == "i2c_write"]
                probes = len(writes)
                gaps += [b[0] - a[0] for a, b in zip(writes, writes[1:]) if a[1] not in BUS_ADDRESSES]
    wall = statistics.median(times)
    print("-D -r ROUTER, %d behind: %s" % (len(bus), summary(times)))
    print("  probed addresses per scan: %d;  wall time per probed address: %.2f ms" % (probes, wall * 1e3 / probes))
    print("  probe-to-probe after an empty address: median %.2f ms, 95th percentile %.2f ms, max %.2f ms "
          "(%d gaps; target < 20 ms)" % (statistics.median(gaps) * 1e3,
                                         statistics.quantiles(gaps, n=20)[-1] * 1e3, max(gaps) * 1e3, len(gaps)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", default=os.environ.get("UPDATER_BIN", str(ROOT / "build" / "Updater")))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if not os.access(args.updater, os.X_OK):
        print("no Updater at %s (build first or pass --updater)" % args.updater, file=sys.stderr)
        return 2
    print("Updater: %s;  updater in its own network namespace: %s" % (
        args.updater, "yes" if netns.available() else "no (%s)" % netns.why_unavailable()))
    bench_usb(args.updater, 1, args.runs)
    bench_usb(args.updater, 8, args.runs)
    bench_router(args.updater, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
