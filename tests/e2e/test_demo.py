"""tools/demo.sh end to end: the listings of the simulated modules, then the
main job (list server builds, download and update, list the store, list the
modules again) and the script's own check of the simulated flash."""
import os
import pathlib
import re
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEMO_TIMEOUT_S = 600

SN = "40F5849A"
OLD = ("2.12.0", 99528558)
NEW = ("2.13.0", 99530001)


def module_row(version, build):
    major, minor, patch = (int(n) for n in version.split("."))
    return ("    %s  02       02      %-12s %3d.%d.%d (%10u)         Bench left" %
            (SN, "TSAnalog8", major, minor, patch, build))


def build_rows(text):
    """(build, version) pairs of a build listing."""
    return re.findall(r"^([0-9]+) +\t([0-9]+\.[0-9]+\.[0-9]+) *$", text, re.M)


def sections(output):
    """Output split at each shown command: {'-B -d 40F5849A': text, ...};
    a command shown twice keeps a list of its outputs."""
    parts = re.split(r"^\$ Updater (?:-u http://127\.0\.0\.1:[0-9]+/cgi/u -i STORE )?(.*)$", output, flags=re.M)
    found = {}
    for command, text in zip(parts[1::2], parts[2::2]):
        found.setdefault(command.strip(), []).append(text)
    return found


@pytest.fixture(scope="module")
def demo(updater_bin, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("demo")
    env = dict(os.environ, UPDATER_BIN=updater_bin, DEMO_SKIP_SETUP="1", TMPDIR=str(tmp))
    env.pop("TESSALINE_DEVICE_DIR", None)
    result = subprocess.run(["bash", str(ROOT / "tools" / "demo.sh")], capture_output=True, text=True,
                            timeout=DEMO_TIMEOUT_S, stdin=subprocess.DEVNULL, env=env, cwd=tmp)
    return result, tmp


def test_demo_succeeds_and_verifies_the_flash(demo):
    result, _ = demo
    assert result.returncode == 0, result.stdout + result.stderr
    assert "== tools/setup.sh" not in result.stdout
    assert re.search(r"^flash verified: 65536 bytes at 0x8000, serial number %s patched in$" % SN,
                     result.stdout, re.M), result.stdout


def test_demo_leaves_nothing_behind(demo):
    _, tmp = demo
    assert list(tmp.iterdir()) == []


def test_demo_shows_the_main_job(demo):
    result, _ = demo
    found = sections(result.stdout)
    listings = found["-D"]
    assert len(listings) == 2, result.stdout
    assert module_row(*OLD) in listings[0].splitlines()
    assert module_row(*NEW) in listings[1].splitlines()
    assert module_row(*OLD) not in listings[1].splitlines()

    assert build_rows(found["-B -d %s" % SN][0]) == [(str(NEW[1]), NEW[0]), (str(OLD[1]), OLD[0])]

    update = found["-G -U -d %s" % SN][0]
    assert "Retrieving build %d" % NEW[1] in update
    assert "Updating firmware with build: %d" % NEW[1] in update
    assert re.search(r"^Update time: [0-9]+\.[0-9]{4} sec$", update, re.M), update

    assert build_rows(found["-L -d %s" % SN][0]) == [(str(NEW[1]), NEW[0])]


def test_demo_lists_tcpip_modules_or_says_why_not(demo):
    result, _ = demo
    found = sections(result.stdout)
    if "-D -t TCP" in found:
        assert "    D272031D  02       02      TSRouter " in found["-D -t TCP"][0]
        rows = found["-D -r D272031D"][0]
        assert "    2A000001  0A       02      TSRelay4 " in rows
        assert "    2A000002  0C       02      TSThermo4 " in rows
    else:
        assert "== TCP/IP and router part skipped: " in result.stdout
