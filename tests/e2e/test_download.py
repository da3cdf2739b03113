"""-G: downloading builds from tools/update-server into the local store."""
import os
import pathlib
import pty
import random
import re
import select
import subprocess
import time

import pytest

from faulty_update_server import RunningServer, write_build

SERIAL = 0x0001ABCD
SN = "%08X" % SERIAL
RUN_TIMEOUT_S = 60
CTIME = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}$")


@pytest.fixture
def firmware_root(tmp_path):
    root = tmp_path / "firmware"
    mod = root / SN
    rng = random.Random(7)
    # The newest version is build 101, not the highest build number.
    write_build(mod, 100, "2.9.0", SERIAL, image=rng.randbytes(300))
    write_build(mod, 101, "2.12.0", SERIAL, image=rng.randbytes(300))
    write_build(mod, 102, "2.10.5", SERIAL, image=rng.randbytes(300))
    # Incompressible, so the payload travels in many pieces.
    write_build(mod, 200, "1.0.0", SERIAL, image=rng.randbytes(2 * 1024 * 1024))
    return root


@pytest.fixture
def server(firmware_root, tmp_path):
    with RunningServer(firmware_root, tmp_path / "server.log") as s:
        yield s


@pytest.fixture
def store(tmp_path):
    return tmp_path / "home"


def run(updater_bin, url, store, *args, env=None):
    cmd = [updater_bin, "-u", url, "-i", str(store)] + list(args)
    return subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT_S,
                          stdin=subprocess.DEVNULL, env=env)


def module_dir(store):
    return store / "updater" / SN


def attributes(store):
    text = (module_dir(store) / ".settings").read_text()
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def assert_nothing_stored(store):
    """No firmware file, no leftover partial file, no download recorded."""
    folder = module_dir(store)
    if folder.exists():
        assert sorted(p.name for p in folder.iterdir()) == [".settings"]
        attrs = attributes(store)
        assert "LATEST_DOWNLOAD" not in attrs and "LAST_DOWNLOAD_DATE" not in attrs


@pytest.mark.parametrize("build_args, fetched, reports", [
    ([], 101, ["No build specified", "Using Latest build", "Retrieving build 101",
               "Validating build 101 with server", "Build 101 is valid"]),
    (["-b", "102"], 102, ["Retrieving firmware build 102", "Retrieving build 102", "Build 102 is valid"]),
    (["-b", "0"], 101, ["Retrieving firmware build 0", "Retrieving build 101"]),
    (["-b", "abc"], 101, ["Retrieving firmware build 0", "Retrieving build 101"]),
    (["-b", "0100"], 100, ["Retrieving firmware build 100", "Retrieving build 100"]),
    (["-b", "200"], 200, ["Retrieving build 200"]),
    (["-b", "102", "-OVERRIDE"], 102, ["Override specified, skipping validation of build 102"]),
])
def test_download_stores_the_servers_file_and_records_it(updater_bin, server, firmware_root, store,
                                                         build_args, fetched, reports):
    proc = run(updater_bin, server.url, store, "-G", "-d", SN, *build_args)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    out = proc.stdout.splitlines()
    assert "Retrieving firmware for device with serial number %s" % SN in out
    for line in reports:
        assert line in out
    stored = module_dir(store) / ("%d.bird" % fetched)
    assert stored.read_bytes() == (firmware_root / SN / ("%d.bird" % fetched)).read_bytes()
    assert sorted(p.name for p in module_dir(store).iterdir()) == [".settings", stored.name]
    attrs = attributes(store)
    assert attrs["LATEST_DOWNLOAD"] == stored.name
    assert CTIME.match(attrs["LAST_DOWNLOAD_DATE"]), attrs["LAST_DOWNLOAD_DATE"]
    raw = (module_dir(store) / ".settings").read_bytes()
    assert b"LAST_DOWNLOAD_DATE=" + attrs["LAST_DOWNLOAD_DATE"].encode() + b"\n" in raw


def test_second_download_replaces_the_file_and_updates_the_record(updater_bin, server, firmware_root, store):
    assert run(updater_bin, server.url, store, "-G", "-d", SN, "-b", "100").returncode == 0
    stale = module_dir(store) / "101.bird"
    stale.write_bytes(b"an older copy")
    assert run(updater_bin, server.url, store, "-G", "-d", SN).returncode == 0
    assert stale.read_bytes() == (firmware_root / SN / "101.bird").read_bytes()
    assert (module_dir(store) / "100.bird").exists()
    assert attributes(store)["LATEST_DOWNLOAD"] == "101.bird"


@pytest.mark.parametrize("build_args, reports", [
    (["-b", "555"], ["Validating build 555 with server", "No valid build 555"]),
    (["-b", "555", "-OVERRIDE"], ["Override specified, skipping validation of build 555",
                                  "Download failed", "Failed to retrieve a valid BIRD file"]),
])
def test_build_the_server_does_not_list(updater_bin, server, store, build_args, reports):
    proc = run(updater_bin, server.url, store, "-G", "-d", SN, *build_args)
    assert proc.returncode == 1
    both = proc.stdout.splitlines() + proc.stderr.splitlines()
    for line in reports:
        assert line in both
    assert reports[-1] in proc.stderr.splitlines()
    # The module's directory is made before the server is asked for builds.
    assert (module_dir(store) / ".settings").exists()
    assert_nothing_stored(store)


def test_module_without_builds(updater_bin, server, store):
    proc = run(updater_bin, server.url, store, "-G", "-d", "00000002")
    assert proc.returncode == 1
    assert "No build information for device" in proc.stderr.splitlines()


# (fault, requests it hits, error lines expected on stderr)
FAULTS = [
    (None, None, ["Server request failed for {url}"]),  # nothing listening
    ("http500", "hi,qu,builds,bird", ["Server request failed for {url}"]),
    ("status", "hi", ["Server request failed for {url}"]),
    ("stall", "hi", ["Server request failed for {url}"]),
    ("status", "qu", ["No build information for device"]),
    ("http500", "builds", ["No valid build 101"]),
    ("http500", "bird", ["Download failed", "Failed to retrieve a valid BIRD file"]),
    ("status", "bird", ["Download failed", "Failed to retrieve a valid BIRD file"]),
    ("empty", "bird", ["Failed to retrieve a valid BIRD file"]),
    ("truncated", "bird", ["Failed to retrieve a valid BIRD file"]),
    ("badbase64", "bird", ["Failed to retrieve a valid BIRD file"]),
    ("notbird", "bird", ["Failed to retrieve a valid BIRD file"]),
    ("stall", "bird", ["Download failed", "Failed to retrieve a valid BIRD file"]),
    ("close", "bird", ["Download failed", "Failed to retrieve a valid BIRD file"]),
]


@pytest.mark.parametrize("fault, ops, errors", FAULTS)
def test_server_faults_fail_cleanly(updater_bin, firmware_root, store, tmp_path, fault, ops, errors):
    # Short stall bound so a stalled reply is given up quickly.
    env = dict(os.environ, UPDATER_HTTP_STALL_TIMEOUT_S="1", UPDATER_HTTP_CONNECT_TIMEOUT_MS="2000")
    if fault is None:
        with RunningServer(firmware_root, tmp_path / "gone.log") as gone:
            url = gone.url  # the port is free again once the server has stopped
        proc = run(updater_bin, url, store, "-G", "-d", SN, env=env)
    else:
        with RunningServer(firmware_root, tmp_path / "server.log", fault=fault, fault_ops=ops) as s:
            url = s.url
            proc = run(updater_bin, url, store, "-G", "-d", SN, env=env)
    assert proc.returncode == 1
    err = proc.stderr.splitlines()
    assert err == [e.format(url=url) for e in errors]
    assert_nothing_stored(store)


def run_on_pty(cmd, timeout):
    """Runs cmd with its standard output on a pseudo-terminal; returns
    (exit status, bytes written to the terminal)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE)
    os.close(slave)
    output = b""
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            readable, _, _ = select.select([master], [], [], 0.2)
            if readable:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # the terminal closes when the program exits
                    break
                if not chunk:
                    break
                output += chunk
            elif proc.poll() is not None:
                break
        status = proc.wait(timeout=max(1, deadline - time.monotonic()))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=5)
        proc.stderr.close()
        os.close(master)
    return status, output


ERASE = b"\r" + b" " * 88 + b"\r"


def test_spinner_on_a_terminal_only(updater_bin, firmware_root, store, tmp_path):
    # A slow reply keeps the spinner turning for several frames.
    with RunningServer(firmware_root, tmp_path / "server.log") as s:
        cmd = [updater_bin, "-u", s.url, "-i", str(store), "-G", "-d", SN, "-b", "200"]
        status, screen = run_on_pty(cmd, RUN_TIMEOUT_S)
        assert status == 0
        frames = re.findall(rb"\r \(Downloading\) (\.{1,5})      \r", screen)
        assert frames, screen
        assert frames[0] == b"."
        assert ERASE in screen
        # The spinner is drawn and erased before the result is reported.
        assert screen.rindex(ERASE) > screen.rindex(b"(Downloading)")

        piped = run(updater_bin, s.url, tmp_path / "home2", "-G", "-d", SN)
        assert piped.returncode == 0
        assert "\r" not in piped.stdout and "Downloading" not in piped.stdout
