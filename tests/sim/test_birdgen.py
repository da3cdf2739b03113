"""Self-tests of birdgen: what it writes is what a reader of the format sees."""

import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import birdgen

BIRDGEN = Path(__file__).with_name("birdgen.py")


def run(tmp_path, *args):
    out = tmp_path / "out.bird"
    proc = subprocess.run([sys.executable, str(BIRDGEN), "-o", str(out), *args],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return out.read_bytes(), proc.stdout


def inflate(data):
    return zlib.decompress(data[6:])


def test_cli_full_file_round_trips(tmp_path):
    (tmp_path / "img").write_bytes(bytes(range(256)) * 2)
    data, out = run(tmp_path, "--loader", "0x10000000/2:pattern:40", "--loader-start", "0x20000400",
                    "--firmware", "0x1000/5:file:%s" % (tmp_path / "img"),
                    "--serial-offsets", "0x1010,0x1040", "--identity", "1234,2.12.0,40F5849A,MODEL-X",
                    "--describe")
    assert data[:6] == b"bird\x01\x01"
    f = birdgen.parse(data)
    assert [(b["type"], b["flags"], b["length"], b["address"]) for b in f["blocks"]] == [
        (0, 2, 44, 0x10000000), (5, 0, 4, 0), (1, 5, 516, 0x1000), (2, 0, 8, 0), (4, 0, 64, 0)]
    assert f["blocks"][2]["data"][4:] == bytes(range(256)) * 2
    assert f["blocks"][3]["data"] == bytes.fromhex("0000101000001040")
    ident = f["blocks"][4]["data"]
    assert ident == b"1234".ljust(16) + b"2.12.0".ljust(16) + b"40F5849A".ljust(16) + b"MODEL-X".ljust(16)
    body = inflate(data)
    assert f["checksum"] == sum(body[:-4]) & 0xFFFFFFFF
    assert out.splitlines()[:2] == ["0 2 44 0x10000000", "5 0 4 0x00000000"]
    assert "count 5" in out and "payload %d" % len(body) in out


@pytest.mark.parametrize("args,check", [
    (["--signature", "BIRD"], lambda d: d[:4] == b"BIRD"),
    (["--format-version", "0x0100"], lambda d: d[4:6] == b"\x01\x00"),
    (["--declared-count", "3"], lambda d: struct.unpack(">I", inflate(d)[:4])[0] == 3),
    (["--trailing", "hex:abcd"], lambda d: inflate(d).endswith(b"\xab\xcd")),
    (["--checksum", "0x11223344"], lambda d: inflate(d)[-4:] == bytes.fromhex("11223344")),
])
def test_breakage_options(tmp_path, args, check):
    data, _ = run(tmp_path, "--firmware", "0:pattern:16", *args)
    assert check(data)


def test_length_past_end_claims_bytes_beyond_the_payload(tmp_path):
    data, _ = run(tmp_path, "--firmware", "0:pattern:16", "--length-past-end", "3")
    body = inflate(data)
    (length,) = struct.unpack_from(">I", body, 5)
    assert 4 + 5 + length == len(body) + 3
    with pytest.raises(ValueError):
        birdgen.parse(data)


def test_truncated_stream_does_not_inflate(tmp_path):
    data, _ = run(tmp_path, "--firmware", "0:pattern:64", "--truncate-zlib", "5")
    with pytest.raises(zlib.error):
        inflate(data)


def test_zeros_inflate_past_eight_times(tmp_path):
    data, _ = run(tmp_path, "--firmware", "0:zeros:100000")
    assert len(inflate(data)) > 8 * (len(data) - 6)


def test_cipher_round_trip_and_chaining():
    key = [0xA1B2C3D4, 0x01020304, 0xDEADBEEF, 0x00FF00FF]
    plain = bytes(range(40))
    cipher = birdgen.encipher(plain, key)
    assert birdgen.decipher(cipher, key) == plain
    assert plain[0] == cipher[0] ^ 0xA1
    assert plain[1] == cipher[1] ^ 0xB2 ^ plain[0]
    assert plain[16] == cipher[16] ^ 0xA1 ^ plain[15]


def test_patch_serial_stays_inside_the_image():
    image = bytes(32)
    out = birdgen.patch_serial(image, 0x1000, 0x1234ABCD, 0x1000, 0x1010)
    assert out[:4] == bytes.fromhex("CDAB3412")
    assert out[16:32:2] == b"1234ABCD" and out[17:32:2] == bytes(8)
    assert birdgen.patch_serial(image, 0x1000, 1, 0x101E, 0x1011) == image


def test_bad_arguments_exit_2(tmp_path):
    proc = subprocess.run([sys.executable, str(BIRDGEN), "-o", str(tmp_path / "x"), "--firmware", "0:bogus:1"],
                          capture_output=True, timeout=60)
    assert proc.returncode == 2
