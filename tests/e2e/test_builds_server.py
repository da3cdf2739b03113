"""tools/update-server answering the updater's requests directly over HTTP."""
import base64
import pathlib
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

import birdgen
from faulty_update_server import ROOT, RunningServer

SERIAL = 0x0001ABCD
HTTP_TIMEOUT_S = 10


def write_bird(folder, build, version, serial=SERIAL, model="TS-MUX", size=64):
    folder.mkdir(parents=True, exist_ok=True)
    data = birdgen.make_bird(firmware=[(0x8000, bytes(range(256)) * (size // 256 + 1))],
                             build=build, version=version, serial=serial, model=model)
    path = folder / ("%d.bird" % build)
    path.write_bytes(data)
    return path


@pytest.fixture
def firmware_root(tmp_path):
    root = tmp_path / "firmware"
    mod = root / ("%08X" % SERIAL)
    # Newest by version is 101, though 102 has the higher build number.
    write_bird(mod, 100, "2.9.0")
    write_bird(mod, 101, "2.12.0")
    write_bird(mod, 102, "2.10.5")
    (mod / "103.bird").write_bytes(b"not a bird file at all")
    (mod / "notes.txt").write_text("lab notes")
    (mod / "104.bird.tmp").write_bytes(b"partial")
    # Folder names are matched as numbers, whatever their case.
    write_bird(root / "00c0ffee", 7, "1.0.0", serial=0xC0FFEE)
    (root / "recovery.tsv").write_text(
        "# fingerprint\tserial\tbuild\n"
        "00000001 00000002 00000003 ABCDEF01\t0001ABCD\tlatest\n"
        "DEADBEEF 0 1 2\tC0FFEE\t7\n"
        "this line is malformed\n"
        "1 2 3\t1\t1\n")
    return root


@pytest.fixture
def server(firmware_root, tmp_path):
    with RunningServer(firmware_root, tmp_path / "server.log") as s:
        yield s


def get(server, query):
    try:
        with urllib.request.urlopen(server.url + "?" + query, timeout=HTTP_TIMEOUT_S) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def test_binds_loopback_and_prints_its_port(server):
    assert server.host == "127.0.0.1"
    assert server.port > 0
    assert server.banner.startswith("update-server: serving ")


@pytest.mark.parametrize("query, status, body", [
    ("op=hi&rv=2&", 200, "ok\n"),
    ("op=qu&sn=0001ABCD&", 200, "ok\n101\nTS-MUX\n"),
    ("op=qu&sn=1abcd&", 200, "ok\n101\nTS-MUX\n"),
    ("op=qu&sn=00C0FFEE&", 200, "ok\n7\nTS-MUX\n"),
    ("op=qu&sn=00000002&", 200, "error: no builds for 00000002\n"),
    ("op=builds&sn=0001ABCD&", 200, "ok\n101;2.12.0\n102;2.10.5\n100;2.9.0\n"),
    ("op=builds&sn=00000002&", 200, "ok\n"),
    ("op=fix&fp=00000001%2000000002%2000000003%20ABCDEF01&brief=true&", 200, "ok\n0001ABCD\n101\n"),
    ("op=fix&fp=DEADBEEF%2000000000%2000000001%2000000002&brief=true&", 200, "ok\n00C0FFEE\n7\n"),
    ("op=fix&fp=00000001%2000000002%2000000003%2000000004&", 200,
     "error: unknown fingerprint 00000001 00000002 00000003 00000004\n"),
    ("op=bird&bld=999&fw=TS-MUX&no_cal=false&op=bird&sn=0001ABCD&", 200, "error: no build 999 for 0001ABCD\n"),
    ("op=bird&bld=103&fw=TS-MUX&no_cal=false&sn=0001ABCD&", 200, "error: no build 103 for 0001ABCD\n"),
    ("op=qu&sn=../etc&", 400, "error: bad serial number\n"),
    ("op=qu&", 400, "error: bad serial number\n"),
    ("op=bird&bld=abc&sn=0001ABCD&", 400, "error: bad serial number or build\n"),
    ("op=bird&bld=0&sn=0001ABCD&", 400, "error: bad serial number or build\n"),
    ("op=fix&fp=1%202%203&", 400, "error: bad fingerprint\n"),
    ("op=nope&", 400, "error: unknown request\n"),
    ("", 400, "error: unknown request\n"),
])
def test_replies(server, query, status, body):
    assert get(server, query) == (status, body)


def test_bird_payload_is_the_file_in_base64(server, firmware_root):
    status, body = get(server, "bld=102&fw=TS-MUX&no_cal=true&op=bird&sn=0001ABCD&")
    assert status == 200
    lines = body.split("\n")
    assert lines[0] == "ok" and lines[2] == "" and len(lines) == 3
    assert base64.b64decode(lines[1], validate=True) == (firmware_root / "0001ABCD" / "102.bird").read_bytes()


def test_builds_added_while_running_are_served(server, firmware_root):
    write_bird(firmware_root / "0001ABCD", 200, "3.0.0")
    assert get(server, "op=qu&sn=0001ABCD&") == (200, "ok\n200\nTS-MUX\n")
    (firmware_root / "0001ABCD" / "200.bird").unlink()
    assert get(server, "op=qu&sn=0001ABCD&") == (200, "ok\n101\nTS-MUX\n")


def test_one_log_line_per_request_and_warnings_for_bad_files(server):
    queries = ["op=hi&rv=2&", "op=builds&sn=0001ABCD&", "op=builds&sn=0001ABCD&", "op=nope&",
               "op=fix&fp=1%202%203%204&"]
    for q in queries:
        get(server, q)
    lines = server.log_lines()
    requests = [line for line in lines if '"GET /cgi/u?' in line]
    assert [r.split('"GET /cgi/u?')[1].split(" ")[0] for r in requests] == queries
    assert requests[3].endswith(" 400 23")
    warnings = [line for line in lines if line.startswith("update-server: ")]
    # Each bad file and table line is reported once, not on every request.
    assert sum("103.bird" in w for w in warnings) == 1
    assert sum("recovery.tsv:5" in w for w in warnings) == 1
    assert sum("recovery.tsv:4" in w for w in warnings) == 1


@pytest.mark.parametrize("args, status, message", [
    (["--root", "/nonexistent/firmware"], 2, "is not a directory"),
    ([], 2, "--root"),
])
def test_bad_command_lines(args, status, message):
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "update-server")] + args,
                          capture_output=True, text=True, timeout=30)
    assert proc.returncode == status
    assert message in proc.stderr
