"""-U: the real Updater puts a build into a simulated module (USB driver node,
router bus, TCP/IP in a private namespace); the simulated flash is compared
byte for byte with images patched here, independently of the updater."""
import os
import pathlib
import pty
import random
import re
import select
import shutil
import subprocess
import time

import pytest

import birdgen
import netns
from faulty_update_server import RunningServer
from sim_process import SimProcess

SERIAL = 0x40F5849A
SN = "%08X" % SERIAL
ROUTER = 0x1000BEEF
MODEL = "TSRouter"          # the simulator's default model number 13
RUN_TIMEOUT_S = 120
SERIAL_ADDR = 0x8010        # inside the first firmware image
DESCRIPTOR_ADDR = 0x8040
CTIME = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}$")
UPDATE_TIME = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$", re.M)


def images(seed, sizes=(3000, 1100)):
    rng = random.Random(seed)
    addresses = (0x8000, 0x20000)
    return [(a, rng.randbytes(n)) for a, n in zip(addresses, sizes)]


def make_bird(path, build, seed, serial=0, model=MODEL, generic=True, sizes=(3000, 1100)):
    """A build with a loader and two firmware blocks; `generic` files carry the
    serial-number offsets and take any module's serial number."""
    firmware = images(seed, sizes)
    data = birdgen.make_bird(firmware=firmware, loaders=[(0x10000000, random.Random(seed + 1).randbytes(700))],
                             build=build, version="2.13.%d" % (build % 100), serial=serial, model=model,
                             serial_offsets=(SERIAL_ADDR, DESCRIPTOR_ADDR) if generic else None)
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return firmware


def expected_flash(firmware, serial, generic=True):
    if not generic:
        return firmware
    return [(a, birdgen.patch_serial(img, a, serial, SERIAL_ADDR, DESCRIPTOR_ADDR)) for a, img in firmware]


def assert_flash_holds(flash_file, firmware):
    flash = pathlib.Path(flash_file).read_bytes()
    written = bytearray(b"\xff" * len(flash))
    for address, image in firmware:
        assert flash[address:address + len(image)] == image, "image at 0x%X differs" % address
        written[address:address + len(image)] = image
    assert flash == bytes(written), "bytes outside the images were written"


def attributes(store, sn=SN):
    path = store / "updater" / sn / ".settings"
    if not path.exists():
        return {}
    return dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)


class Bench:
    """One simulated module (or router with a bus module) and the updater's environment."""

    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.devices = tmp_path / "dev"
        self.devices.mkdir()
        self.store = tmp_path / "home"
        self.flash = tmp_path / "flash.bin"
        self.env = dict(os.environ, TESSALINE_DEVICE_DIR=str(self.devices))
        self.sim = None

    def start(self, *args, serial=SERIAL, transport="usbnode", flash=None):
        argv = ["--serial", "%08X" % serial, "--transport", transport, "--flash-file", str(flash or self.flash),
                "--new-build", "777", "--new-version", "2.13.77"] + list(args)
        self.sim = SimProcess(argv, env={"TESSALINE_DEVICE_DIR": str(self.devices)}).start()
        return self.sim

    def stop(self):
        if self.sim is not None:
            self.sim.stop()

    def status(self, serial=SERIAL):
        return self.sim.command("status %08X" % serial)["status"]

    def run(self, *args, url, cwd=None):
        cmd = [UPDATER, "-u", url, "-i", str(self.store)] + list(args)
        return subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT_S, cwd=cwd,
                              stdin=subprocess.DEVNULL, env=self.env)

    def put_in_store(self, build, seed, sn=SN, **kw):
        return make_bird(self.store / "updater" / sn / ("%d.bird" % build), build, seed, **kw)


UPDATER = None


@pytest.fixture
def bench(updater_bin, tmp_path):
    global UPDATER
    UPDATER = updater_bin
    b = Bench(tmp_path)
    yield b
    b.stop()


@pytest.fixture
def server(tmp_path):
    """The update server with builds 101 (newest) and 100 for SN."""
    root = tmp_path / "firmware"
    make_bird(root / SN / "100.bird", 100, seed=100)
    make_bird(root / SN / "101.bird", 101, seed=101)
    with RunningServer(root, tmp_path / "server.log") as s:
        yield s


def dead_url():
    """A loopback URL where nothing listens."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return "http://127.0.0.1:%d/cgi/u" % port


def pieces(firmware, size):
    for _, image in firmware:
        for start in range(0, len(image), size):
            yield image[start:start + size]


def assert_updated(bench, result, firmware, transfer_name):
    assert result.returncode == 0, result.stdout + result.stderr
    assert UPDATE_TIME.search(result.stdout), result.stdout
    assert_flash_holds(bench.flash, expected_flash(firmware, SERIAL))
    attrs = attributes(bench.store)
    assert attrs["LATEST_TRANSFER"] == transfer_name
    assert CTIME.match(attrs["LAST_TRANSFER_DATE"])
    status = bench.status()
    assert status["counters"]["reboots"] == 1
    assert status["build"] == 777


def assert_not_updated(bench, result):
    assert result.returncode == 1, result.stdout + result.stderr
    assert "Update time" not in result.stdout
    assert "LATEST_TRANSFER" not in attributes(bench.store)
    assert bench.status()["counters"]["reboots"] == 0


# -- main path: download then update ------------------------------------------------

@pytest.mark.parametrize("extra, sim_args, uei_path", [
    (["-m", "0"], [], False),                              # 26-byte DATA packets
    ([], ["--features", "0x80000000"], True),              # UEI bytes (the default) with pooled packets
    (["-m", "1"], [], True),
    (["-m", "1"], ["--uei-data", "false"], False),         # a module without option 10
])
def test_get_then_update_installs_the_latest_build(bench, server, extra, sim_args, uei_path):
    bench.start(*sim_args)
    result = bench.run("-G", "-U", "-d", SN, *extra, url=server.url)
    firmware = images(101)
    assert_updated(bench, result, firmware, "101.bird")
    assert "Transferring loader block 1 of 1, 704 bytes" in result.stdout
    assert "Transferring firmware block 2 of 2, 1104 bytes" in result.stdout
    status = bench.status()["upgrade"]
    assert status["loader_blocks"] == [{"address": 0x10000000, "flags": 0, "length": 700}]
    # Pieces of 256 bytes: 12 + 5 writes, every one checked by its sum.
    assert len(status["flash_writes"]) == 12 + 5
    assert len(status["sums"]) == 1 + 12 + 5
    loader_packets = -(-700 // 26)
    if uei_path:
        firmware_data = 12 + 5                      # one UEI value per piece
    else:
        firmware_data = sum(-(-len(piece) // 26) for piece in pieces(images(101), 256))
    assert status["counts"]["data"] == loader_packets + firmware_data


# -- choice of the build --------------------------------------------------------------

def test_servers_latest_build_in_the_store_is_used(bench, server):
    bench.put_in_store(101, seed=101)
    bench.put_in_store(100, seed=100)
    bench.start()
    result = bench.run("-U", "-d", SN, url=server.url)
    assert "Updating firmware with build: 101" in result.stdout
    assert_updated(bench, result, images(101), "101.bird")


def test_latest_download_decides_when_the_servers_build_is_missing(bench, server):
    bench.put_in_store(100, seed=100)
    (bench.store / "updater" / SN / ".settings").write_text("LATEST_DOWNLOAD=100.bird\n")
    bench.start()
    result = bench.run("-U", "-d", SN, url=server.url)
    out = result.stdout
    info = "New firmware is available.  Updater will proceed if valid firmware is found locally."
    assert out.index(info) < out.index("Updating with the Latest Download")
    assert_updated(bench, result, images(100), "100.bird")


def test_latest_transfer_is_used_when_the_server_is_unreachable(bench):
    bench.put_in_store(99528558, seed=5)
    (bench.store / "updater" / SN / ".settings").write_text("LATEST_TRANSFER=99528558.bird\n")
    bench.start()
    result = bench.run("-U", "-d", SN, url=dead_url())
    assert "Updating with the Latest Transfer" in result.stdout
    assert_updated(bench, result, images(5), "99528558.bird")


def test_nothing_usable_ends_before_touching_the_module(bench):
    bench.start()
    result = bench.run("-U", "-d", SN, url=dead_url())
    assert "Could not find valid build for this device." in result.stderr
    assert_not_updated(bench, result)
    assert bench.status()["upgrade"]["counts"]["prepare"] == 0


# -- a file named on the command line ------------------------------------------------------

def test_file_path_is_recorded_as_typed(bench, tmp_path):
    work = tmp_path / "work"
    firmware = make_bird(work / "builds" / "mine.bird", 4242, seed=9)
    bench.start()
    result = bench.run("-U", "-d", SN, "-f", "builds/mine.bird", url=dead_url(), cwd=work)
    assert "Updating from Birdfile: builds/mine.bird" in result.stdout
    assert_updated(bench, result, firmware, "builds/mine.bird")


@pytest.mark.parametrize("kind", ["other_serial", "other_model"])
@pytest.mark.parametrize("override", [False, True])
def test_file_for_another_module_is_refused_unless_overridden(bench, tmp_path, kind, override):
    path = tmp_path / "other.bird"
    if kind == "other_serial":
        firmware = make_bird(path, 5, seed=11, serial=0x12345678, generic=False)
    else:
        firmware = make_bird(path, 5, seed=11, serial=SERIAL, model="TSPico", generic=False)
    bench.start()
    result = bench.run("-U", "-d", SN, "-f", str(path), *(["-OVERRIDE"] if override else []), url=dead_url())
    if override:
        assert result.returncode == 0, result.stderr
        assert_flash_holds(bench.flash, firmware)
        return
    assert "Birdfile failed validation" in result.stderr
    if kind == "other_model":
        assert "Connected device model and Bird file model do not match [TSRouter] (0)" in result.stderr
    assert_not_updated(bench, result)
    assert pathlib.Path(bench.flash).read_bytes().count(b"\xff") == os.path.getsize(bench.flash)


# -- retries and faults ---------------------------------------------------------------------

@pytest.mark.parametrize("fault, retries", [
    ("write_fail@1x3", 3),     # first firmware piece refused three times
    ("bad_sum@2x2", 2),        # SUM 1 is the loader's
    ("wrong_count@40x3", 0),   # resent chunks need no new try
])
def test_failing_block_is_tried_again(bench, tmp_path, fault, retries):
    path = tmp_path / "b.bird"
    firmware = make_bird(path, 7, seed=3)
    bench.start("--fault", fault)
    result = bench.run("-U", "-d", SN, "-f", str(path), "-m", "0", url=dead_url())
    lines = result.stdout.splitlines()
    assert [l for l in lines if l.startswith("  Retry")] == ["  Retry %d" % n for n in range(1, retries + 1)]
    assert_updated(bench, result, firmware, str(path))


@pytest.mark.parametrize("fault, retries", [
    ("write_fail@1x5", 4),
    ("bad_sum@2x0", 4),
    ("prepare_timeout@2", 0),   # no answer to the first firmware PREPARE ends the tries
])
def test_block_that_keeps_failing_ends_the_update(bench, tmp_path, fault, retries):
    path = tmp_path / "b.bird"
    make_bird(path, 7, seed=3)
    bench.start("--fault", fault)
    result = bench.run("-U", "-d", SN, "-f", str(path), url=dead_url())
    assert_not_updated(bench, result)
    lines = [l for l in result.stdout.splitlines() if l.startswith("  Retry")]
    assert lines == ["  Retry %d" % n for n in range(1, retries + 1)]


def test_module_that_drops_mid_transfer_fails_clearly(bench, tmp_path):
    path = tmp_path / "b.bird"
    make_bird(path, 7, seed=3)
    # DATA 1 to 27 carry the loader; 60 lies in the fourth firmware piece.
    bench.start("--fault", "disconnect_data@60")
    started = time.monotonic()
    result = bench.run("-U", "-d", SN, "-f", str(path), "-m", "0", url=dead_url())
    assert time.monotonic() - started < RUN_TIMEOUT_S
    assert_not_updated(bench, result)
    assert "NETWORK: Failed to transfer firmware" in result.stderr


# -- the loader start and USB re-enumeration -------------------------------------------------

@pytest.mark.parametrize("sim_args, path_args", [
    ([], []),                                              # leaves instead of replying, answers on the new link
    (["--load-reply-first", "true"], []),                  # replies, then leaves at once
    (["--load-reply-first", "true", "--reenumerate-after", "0.7",
      "--piece-size", "65535"], ["-m", "0"]),              # leaves after the settle, before the first write
    (["--reenumerate", "false"], []),                      # stays on the bus
])
def test_loader_start_with_and_without_reenumeration(bench, tmp_path, sim_args, path_args):
    path = tmp_path / "b.bird"
    firmware = make_bird(path, 7, seed=3, sizes=(60000, 1100))
    bench.start(*sim_args)
    result = bench.run("-U", "-d", SN, "-f", str(path), *path_args, url=dead_url())
    assert_updated(bench, result, firmware, str(path))
    assert bench.status()["counters"]["loader_starts"] == 1


# -- through a router -----------------------------------------------------------------------

def test_update_through_a_router(bench, tmp_path):
    path = tmp_path / "b.bird"
    firmware = make_bird(path, 7, seed=3)
    bench.start("--bus-module", "serial=%s,address=10,flash-file=%s,new-build=777" % (SN, bench.flash),
                serial=ROUTER, flash=tmp_path / "router-flash.bin")
    result = bench.run("-U", "-d", SN, "-r", "%08X" % ROUTER, "-f", str(path), url=dead_url())
    assert result.returncode == 0, result.stdout + result.stderr
    assert_flash_holds(bench.flash, expected_flash(firmware, SERIAL))
    assert attributes(bench.store)["LATEST_TRANSFER"] == str(path)
    module = bench.status(SERIAL)
    assert module["counters"]["reboots"] == 1
    assert bench.status(ROUTER)["counters"]["reboots"] == 0
    assert bench.status(ROUTER)["routing"] is False     # routing handed back


def test_unknown_module_behind_a_router(bench, tmp_path):
    path = tmp_path / "b.bird"
    make_bird(path, 7, seed=3)
    bench.start("--bus-module", "serial=2000,address=10", serial=ROUTER, flash=tmp_path / "router-flash.bin")
    result = bench.run("-U", "-d", SN, "-r", "%08X" % ROUTER, "-f", str(path), url=dead_url())
    assert result.returncode == 1
    assert ("could not find serial number [0x%s] on network" % SN) in result.stderr


# -- TCP/IP, inside a private network namespace ----------------------------------------------

@pytest.mark.parametrize("faults", [
    [],                                   # stays on the network: no re-enumeration wait
    ["--fault", "no_load_reply@1"],       # LOAD answered only after the host reconnects
])
def test_update_over_tcpip(bench, tmp_path, faults):
    if not netns.available():
        pytest.skip(netns.why_unavailable())
    path = tmp_path / "b.bird"
    firmware = make_bird(path, 7, seed=3)
    with netns.NetnsPair() as ns:
        sim = SimProcess(["--serial", SN, "--transport", "tcp", "--host", "0.0.0.0", "--discovery",
                          "--flash-file", str(bench.flash)] + faults,
                         launcher=lambda argv, **kw: ns.popen("module", argv, **kw)).start()
        try:
            result = ns.run("host", [UPDATER, "-U", "-d", SN, "-f", str(path), "-u",
                                     "http://127.0.0.1:9/cgi/u", "-i", str(bench.store)],
                            capture_output=True, text=True, timeout=RUN_TIMEOUT_S, stdin=subprocess.DEVNULL)
            status = sim.command("status " + SN)["status"]
        finally:
            sim.stop()
    assert result.returncode == 0, result.stdout + result.stderr
    assert_flash_holds(bench.flash, expected_flash(firmware, SERIAL))
    assert status["counters"]["reboots"] == 1
    assert attributes(bench.store)["LATEST_TRANSFER"] == str(path)


# -- progress display ----------------------------------------------------------------------------

def run_on_pty(argv, env, timeout):
    """Runs argv with stdout on a pseudo-terminal; returns (status, output)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.DEVNULL, env=env)
    os.close(slave)
    output = b""
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            readable, _, _ = select.select([master], [], [], 0.2)
            if readable:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            elif proc.poll() is not None:
                break
        proc.wait(max(1, deadline - time.monotonic()))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)
        os.close(master)
    return proc.returncode, output.decode(errors="replace")


BAR = re.compile(r"\[=*> *\] \(100% \)")


def test_progress_bar_on_a_terminal_and_none_when_piped(bench, tmp_path):
    path = tmp_path / "b.bird"
    make_bird(path, 7, seed=3)
    bench.start()
    argv = [UPDATER, "-u", dead_url(), "-i", str(bench.store), "-U", "-d", SN, "-f", str(path)]
    status, output = run_on_pty(argv, bench.env, RUN_TIMEOUT_S)
    assert status == 0, output
    assert BAR.search(output), output
    bench.stop()

    bench.flash.unlink()
    bench.start()
    piped = bench.run("-U", "-d", SN, "-f", str(path), url=dead_url())
    assert piped.returncode == 0, piped.stderr
    assert not BAR.search(piped.stdout)
    assert "\r" not in piped.stdout
