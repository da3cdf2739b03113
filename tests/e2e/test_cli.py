"""Command line of the Updater binary: usage, rejected options, exit codes,
streams, storage directory and the order in which commands run."""
import os
import pathlib
import socket
import stat
import subprocess

import pytest

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
SERIAL = "40F5849A"


def golden(name):
    return (GOLDEN / name).read_text()


def closed_port_url():
    """A loopback URL on which nothing listens, so no request leaves the host."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/cgi/u"


@pytest.fixture
def run(updater_bin, tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    env = dict(os.environ, HOME=str(home))

    def _run(*args, storage=True):
        argv = [updater_bin, *args]
        if storage:
            argv += ["-i", str(tmp_path / "store"), "-u", closed_port_url()]
        return subprocess.run(argv, capture_output=True, text=True, timeout=60, env=env,
                              preexec_fn=lambda: os.umask(0o022))

    return _run


def version_lines(stdout):
    lines = stdout.splitlines()
    assert lines[0].startswith("Updater (Version: 2.12.0 "), stdout
    return lines


def test_no_arguments_prints_version_notice_and_short_usage(run, tmp_path):
    r = run(storage=False)
    assert r.returncode == 0
    lines = version_lines(r.stdout)
    assert len(lines) == 2
    assert lines[1].startswith("(") and "Korvanta" in lines[1] and "1994-" in lines[1]
    assert r.stderr == golden("usage_short.txt")
    # Nothing ran, so no storage was made.
    assert list((tmp_path / "home").iterdir()) == []


@pytest.mark.parametrize("args, usage", [
    (["-h"], "usage_full.txt"),
    (["-H"], "usage_full.txt"),
    (["--help"], "usage_full.txt"),
    (["--he"], "usage_full.txt"),
    (["-X", "1", "-h"], "usage_extended.txt"),
    (["-h", "-X", "1"], "usage_full.txt"),
    (["-D", "-h", "-Y"], "usage_full.txt"),
    (["-X", "0"], "usage_short.txt"),
    (["-n", "stray"], "usage_short.txt"),
])
def test_help_and_usage(run, args, usage):
    r = run(*args)
    assert r.returncode == 0
    assert len(version_lines(r.stdout)) == 2
    assert r.stderr == golden(usage)


@pytest.mark.parametrize("args, message", [
    (["-d", "40F5849G", "-G"], "Invalid serial number obtained from argument [40F5849G]"),
    (["-d", "0", "-G"], "Invalid serial number obtained from argument [0]"),
    (["-d", "0x0", "-G"], "Invalid serial number obtained from argument [0]"),
    (["-d", "140F5849A", "-U"], "Invalid serial number obtained from argument [140F5849A]"),
    (["-r", "router", "-D"], "Invalid router serial number obtained from argument [router]"),
    (["-t", "usb", "-D"], "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"),
    (["-Y"], "Unhandled command: [-Y]"),
])
def test_rejected_options(run, args, message):
    r = run(*args)
    assert r.returncode == 1
    assert len(version_lines(r.stdout)) == 2
    assert r.stderr == message + "\n" + golden("usage_short.txt")


@pytest.mark.parametrize("args, errors, usage", [
    (["-G"], ["-G must specify a specific device via -d", "--help for usage information"], False),
    (["-d40F5849A", "-G"], ["-G must specify a specific device via -d", "--help for usage information"], False),
    (["-d", "-G"], ["-G must specify a specific device via -d", "--help for usage information"], False),
    (["-U"], ["Must specify the specific device to be updated"], False),
    (["-B"], ["Error must supply a serial number for the List Builds command"], True),
    (["-L"], ["Error must supply a serial number for the List Local Builds command"], True),
    (["-N", "-D"], ["Must specify the serial port used for connecting"], False),
])
def test_command_missing_its_argument(run, args, errors, usage):
    r = run(*args)
    assert r.returncode == 1
    assert len(version_lines(r.stdout)) == 1
    expected = "".join(e + "\n" for e in errors) + (golden("usage_short.txt") if usage else "")
    assert r.stderr == expected


@pytest.mark.parametrize("args", [["-I"], ["-C"], ["-Z", "5"], ["-I", "-OVERRIDE"]])
def test_commands_that_run_nothing_create_storage(run, tmp_path, args):
    r = run(*args)
    assert r.returncode == 0
    assert len(version_lines(r.stdout)) == 1
    assert r.stderr == ""
    directory = tmp_path / "store" / "updater"
    assert directory.is_dir()
    assert stat.S_IMODE(directory.stat().st_mode) == 0o755


def test_storage_parents_are_created(run, updater_bin, tmp_path):
    nested = tmp_path / "a" / "b"
    r = subprocess.run([updater_bin, "-I", "-i", str(nested)], capture_output=True, text=True, timeout=60,
                       preexec_fn=lambda: os.umask(0o022))
    assert r.returncode == 0, r.stderr
    for d in (tmp_path / "a", nested, nested / "updater"):
        assert stat.S_IMODE(d.stat().st_mode) == 0o755


def test_storage_that_cannot_be_created(updater_bin, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    r = subprocess.run([updater_bin, "-I", "-i", str(blocker)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr == f"Could not find updater directory at {blocker}/updater\n"


def test_discovery_runs_alone_when_update_is_also_asked(run):
    r = run("-D", "-U", "-d", SERIAL, "-X", "0x10000")
    # The update would end with status 1 (no module with this serial is
    # reachable); discovery always ends with 0.
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[1] == "Searching for Tessaline devices"
    assert lines[2] == "Discovered Devices: (USB)"
    assert "Must specify" not in r.stderr
    assert "Update time" not in r.stdout
    # The parameter log lists the arguments in the scanner's order.
    assert "\nApplication parameters:[Updater]\n" in r.stderr
    assert f"\t[-D]\n\t[-U]\n\t[-d]\n\t[{SERIAL}]\n\t[-X]\n\t[0x10000]\n" in r.stderr


def test_bad_log_mask_is_reported_and_discovery_still_runs(run):
    r = run("-X", "12abc", "-D")
    assert r.returncode == 0
    assert r.stderr.startswith('Invalid format for "-X" parameter, unprocessed characters [abc]\n')
    assert "Application parameters" not in r.stderr
    assert "Discovered Devices: (USB)" in r.stdout


@pytest.mark.parametrize("build_args, build_lines", [
    ([], ["No build specified", "Using Latest build"]),
    (["-b", "0099"], ["Retrieving firmware build 99"]),
    (["-b", "abc"], ["Retrieving firmware build 0"]),
])
def test_download_reports_its_request_and_fails_without_server(run, build_args, build_lines):
    r = run("-G", "-d", "0x" + SERIAL, *build_args)
    assert r.returncode == 1
    lines = r.stdout.splitlines()
    assert lines[1:2 + len(build_lines)] == [f"Retrieving firmware for device with serial number {SERIAL}",
                                            *build_lines]


def test_failed_fingerprint_does_not_stop_discovery(run, tmp_path):
    r = run("-N", "-s", str(tmp_path / "no-such-port"), "-D")
    assert r.returncode == 0
    assert "Got no response from chip\n" in r.stderr
    assert "Discovered Devices: (USB)" in r.stdout


def test_failed_fingerprint_alone_fails(run, tmp_path):
    r = run("-N", "-s", str(tmp_path / "no-such-port"))
    assert r.returncode == 1
    assert r.stderr.endswith("Got no response from chip\n")
