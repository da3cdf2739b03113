"""Codec checks against fixed vectors (the simulator and its client share them)."""

import pytest

from sim_protocol import (FrameDecoder, PacketAssembler, cobs_decode, cobs_encode, crc8, frame,
                          packet_bytes, uei_bytes_packets, version_pack, version_unpack)


def test_crc8_check_value():
    assert crc8(b"123456789") == 0xA1


@pytest.mark.parametrize("wire, encoded", [
    (b"\x02\x00", "0202029100"),
    (b"\xad\x00", "02ad026700"),
    (b"\x04\x02\x00\x03", "0304020303a300"),
])
def test_known_frames(wire, encoded):
    assert frame(wire).hex() == encoded
    assert FrameDecoder().feed(bytes.fromhex(encoded)) == [(wire[0], wire[2:])]


@pytest.mark.parametrize("data", [b"", b"\x00", b"\x00\x00", bytes(range(1, 255)),
                                  bytes(range(1, 256)) * 2, bytes(300), b"\x01" * 253 + b"\x00"])
def test_cobs_round_trip(data):
    encoded = cobs_encode(data)
    assert 0 not in encoded
    assert cobs_decode(encoded) == data


def test_frame_decoder_rejects_damage_and_takes_full_packets():
    decoder = FrameDecoder()
    good = frame(packet_bytes(4, bytes(range(1, 29))))   # 28 data bytes
    bad_crc = bytearray(frame(packet_bytes(4, b"\x01\x02")))
    bad_crc[-2] ^= 0x01
    wrong_length = frame(b"\x04\x01\x01\x02\x03")        # length byte says 1, 3 follow
    packets = decoder.feed(b"\x00\x00" + bytes(bad_crc) + wrong_length + good)
    assert packets == [(4, bytes(range(1, 29)))]
    assert decoder.bad_frames == 2


def test_assembler_splits_stream_and_skips_junk_lengths():
    assembler = PacketAssembler()
    stream = packet_bytes(4, b"") + b"\x00" + b"\x06\x40" + packet_bytes(8, b"\x01\x02")
    assert assembler.feed(stream[:3]) == [(4, b"")]
    assert assembler.feed(stream[3:]) == [(8, b"\x01\x02")]
    assert assembler.errors == 1


def test_uei_bytes_split():
    packets = uei_bytes_packets(3, 0x80 | 32, 0x20, bytes(50))
    assert [len(p) for p in packets] == [28, 28, 6]
    assert [p[-1] for p in packets] == [0x80, 0x81, 0x02]
    assert uei_bytes_packets(3, 0x80 | 32, 0x20, b"") == [bytes((3, 0xA0, 0x20, 0))]


@pytest.mark.parametrize("version, word", [((2, 14, 3), 0x2E000003), ((2, 15, 0), 0x2F020F00),
                                           ((3, 0, 1), 0x2F030001), ((2, 12, 0), 0x2C000000)])
def test_version_words(version, word):
    assert version_pack(*version) == word
    assert version_unpack(word) == version
