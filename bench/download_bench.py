#!/usr/bin/python3
"""Downloads a 4 MiB build through tools/update-server with the Updater (-G)
and with curl fetching the same payload URL, and prints wall time, peak
memory (maximum resident set) and the ratios against the targets:
peak memory of the Updater under 4x the file size, throughput within 2x of
curl.

    bench/download_bench.py [--updater build/Updater] [--runs 5] [--size-mib 4]
"""
import argparse
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "sim"))
from faulty_update_server import RunningServer, write_build  # noqa: E402

SERIAL = "0001ABCD"
BUILD = 4242
TIMEOUT_S = 300


def measure(cmd, scratch):
    """(wall seconds, peak RSS in bytes, exit status) of one run, measured by
    /usr/bin/time so the figure is the program's own, not its parent's."""
    report = pathlib.Path(scratch) / "time.txt"
    proc = subprocess.run(["/usr/bin/time", "-f", "%e %M %x", "-o", str(report)] + cmd,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=TIMEOUT_S)
    wall, rss_kib, status = report.read_text().split()[-3:]
    return float(wall), int(rss_kib) * 1024, int(status) if proc.returncode == 0 else proc.returncode


def mib(n):
    return n / (1024 * 1024)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--updater", default=os.environ.get("UPDATER_BIN", str(ROOT / "build" / "Updater")))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--size-mib", type=float, default=4.0)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        image = random.Random(1).randbytes(int(args.size_mib * 1024 * 1024) - 200)
        bird = write_build(tmp / "fw" / SERIAL, BUILD, "1.0.0", int(SERIAL, 16), image=image)
        size = bird.stat().st_size
        with RunningServer(tmp / "fw", tmp / "server.log") as server:
            payload_url = "%s?bld=%d&fw=TS-MUX&no_cal=false&op=bird&sn=%s&" % (server.url, BUILD, SERIAL)
            idle = measure([args.updater, "-I", "-i", str(tmp / "idle")], tmp)
            # Same start-up plus libcurl and TLS initialisation, without a payload.
            listing = measure([args.updater, "-u", server.url, "-i", str(tmp / "idle"), "-B", "-d", "2"], tmp)
            updater, curl = [], []
            for n in range(args.runs):
                store = tmp / ("home%d" % n)
                u = measure([args.updater, "-u", server.url, "-i", str(store), "-G", "-d", SERIAL,
                             "-b", str(BUILD)], tmp)
                if u[2] != 0 or (store / "updater" / SERIAL / bird.name).read_bytes() != bird.read_bytes():
                    sys.exit("Updater download failed (status %d)" % u[2])
                updater.append(u)
                c = measure(["curl", "-s", "-f", "-o", str(tmp / "curl.out"), payload_url], tmp)
                if c[2] != 0:
                    sys.exit("curl failed (status %d)" % c[2])
                curl.append(c)

    def med(rows, i):
        return statistics.median(r[i] for r in rows)

    u_wall, u_mem = med(updater, 0), med(updater, 1)
    c_wall, c_mem = med(curl, 0), med(curl, 1)
    print("download_bench: BIRD file %.2f MiB (%d bytes), %d runs, medians" % (mib(size), size, args.runs))
    print("  Updater -G : wall %7.3f s  %7.1f MiB/s  peak RSS %7.1f MiB" % (u_wall, mib(size) / u_wall, mib(u_mem)))
    print("  curl       : wall %7.3f s  %7.1f MiB/s  peak RSS %7.1f MiB" % (c_wall, mib(size) / c_wall, mib(c_mem)))
    print("  Updater -I : peak RSS %7.1f MiB (start-up, no request)" % mib(idle[1]))
    print("  Updater -B : peak RSS %7.1f MiB (start-up and requests, empty listing)" % mib(listing[1]))
    print("  peak memory / file size                 : %.2fx (target < 4x)" % (u_mem / size))
    print("  (peak - empty listing) / file size      : %.2fx (memory the download itself adds)"
          % ((u_mem - listing[1]) / size))
    print("  Updater time / curl time                : %.2fx (target < 2x; Updater makes 4 requests, curl 1)"
          % (u_wall / c_wall))
    return 0


if __name__ == "__main__":
    sys.exit(main())
