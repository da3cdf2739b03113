"""-B and -L: build listings from tools/update-server and from the local store."""
import os
import subprocess

import pytest

from faulty_update_server import RunningServer, write_build

SERIAL = 0x0001ABCD
SN = "%08X" % SERIAL
RUN_TIMEOUT_S = 60
VERSION_LINE_PREFIX = "Updater (Version: "


def row(build, version):
    return "%-15.15s\t%-15.15s" % (build, version)


def listing(serial, entries):
    """The listing lines for (build, version) entries already in display order."""
    if not entries:
        return ["No builds found for device [%s]" % serial]
    return ["Build List for device [%s]:" % serial, "", row("Build", "Version")] + [row(b, v) for b, v in entries]


@pytest.fixture
def firmware_root(tmp_path):
    root = tmp_path / "firmware"
    mod = root / SN
    for build, version in [(100, "2.9.0"), (101, "2.12.0"), (102, "2.10.5"), (90, "beta"),
                           (95, "1.300.0"), (96, "1.45.0"), (3000000000, "0.0.1")]:
        write_build(mod, build, version, SERIAL)
    return root


@pytest.fixture
def server(firmware_root, tmp_path):
    with RunningServer(firmware_root, tmp_path / "server.log") as s:
        yield s


def run(updater_bin, url, store, *args, env=None):
    cmd = [updater_bin, "-u", url, "-i", str(store)] + list(args)
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=RUN_TIMEOUT_S,
                          stdin=subprocess.DEVNULL, env=env)
    out = proc.stdout.splitlines()
    assert out and out[0].startswith(VERSION_LINE_PREFIX)
    return proc, out[1:]


def test_server_listing_is_ordered_by_version(updater_bin, server, tmp_path):
    proc, out = run(updater_bin, server.url, tmp_path / "home", "-B", "-d", SN)
    assert proc.returncode == 0 and proc.stderr == ""
    # Version parts count modulo 256 (1.300.0 ranks as 1.44.0); a version that
    # is not three numbers goes last.
    assert out == listing(SN, [("101", "2.12.0"), ("102", "2.10.5"), ("100", "2.9.0"), ("96", "1.45.0"),
                               ("95", "1.300.0"), ("3000000000", "0.0.1"), ("90", "beta")])


@pytest.mark.parametrize("fault, ops, errors", [
    ("http500", "hi", ["Server request failed for {url}"]),
    ("status", "builds", ["Failed to retrieve builds for " + SN]),
    ("stall", "builds", ["Failed to retrieve builds for " + SN]),
    (None, None, ["Server request failed for {url}"]),
])
def test_failed_server_listing_reads_as_empty_and_succeeds(updater_bin, firmware_root, tmp_path, fault, ops, errors):
    env = dict(os.environ, UPDATER_HTTP_STALL_TIMEOUT_S="1", UPDATER_HTTP_CONNECT_TIMEOUT_MS="2000")
    if fault is None:
        with RunningServer(firmware_root, tmp_path / "gone.log") as gone:
            url = gone.url
        proc, out = run(updater_bin, url, tmp_path / "home", "-B", "-d", SN, env=env)
    else:
        with RunningServer(firmware_root, tmp_path / "s.log", fault=fault, fault_ops=ops) as s:
            url = s.url
            proc, out = run(updater_bin, url, tmp_path / "home", "-B", "-d", SN, env=env)
    assert proc.returncode == 0
    assert proc.stderr.splitlines() == [e.format(url=url) for e in errors]
    assert out == listing(SN, [])


def test_server_listing_for_unknown_module(updater_bin, server, tmp_path):
    proc, out = run(updater_bin, server.url, tmp_path / "home", "-B", "-d", "2")
    assert proc.returncode == 0 and proc.stderr == ""
    assert out == ["No builds found for device [00000002]"]


def test_local_listing(updater_bin, server, tmp_path):
    home = tmp_path / "home"
    for build in ("100", "101", "90"):
        proc, _ = run(updater_bin, server.url, home, "-G", "-d", SN, "-b", build)
        assert proc.returncode == 0, proc.stderr
    folder = home / "updater" / SN
    (folder / "notes.txt").write_text("not firmware")
    (folder / "77.bird").write_bytes(b"truncated download")
    (folder / "a_rather_long_file_name.bird").write_bytes(b"x")
    (folder / ".hidden.bird").write_bytes(b"x")
    # A name wider than the column.
    write_build(tmp_path, 7, "3.0.0", SERIAL).rename(folder / "12345678901234567.bird")

    proc, out = run(updater_bin, server.url, home, "-L", "-d", SN)
    assert proc.returncode == 0 and proc.stderr == ""
    # Files that are not BIRD files are listed without a version, after the rest.
    assert out == listing(SN, [("12345678901234567", "3.0.0"), ("101", "2.12.0"), ("100", "2.9.0"),
                               ("77", ""), ("90", "beta"), ("a_rather_long_file_name", ""),
                               ("notes.txt", "")])


def test_local_listing_for_module_never_seen(updater_bin, tmp_path):
    proc, out = run(updater_bin, "http://127.0.0.1:9/cgi/u", tmp_path / "home", "-L", "-d", "2")
    assert proc.returncode == 0 and proc.stderr == ""
    assert out == ["No builds found for device [00000002]"]
