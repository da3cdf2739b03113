"""The simulated module's link behaviour, driven by a minimal client over each transport."""

import os
import time

import pytest

from sim_client import ErrorAnswer, SimClient
from sim_module import ModuleConfig, SimModule
from sim_protocol import CMD_DEBUG, CMD_INFO, CMD_SYSTEM, CMD_UPGRADE, version_pack

SERIAL = 0x40F5849A
TRANSPORTS = ["tcp", "serial", "usbnode"]


def connect(module):
    return SimClient.connect(module.info())


@pytest.fixture
def make_module(tmp_path):
    started = []

    def make(transport="tcp", **kw):
        kw.setdefault("address", 4)
        kw.setdefault("heartbeat", 0.1)
        config = ModuleConfig(serial=SERIAL, transport=transport, device_dir=str(tmp_path / "dev"),
                              flash_file=str(tmp_path / "flash.bin"), **kw)
        module = SimModule(config).start()
        started.append(module)
        return module
    yield make
    for module in started:
        module.stop()
    assert [m.transport.handler_errors for m in started] == [0] * len(started)


@pytest.fixture(params=TRANSPORTS)
def link(request, make_module):
    module = make_module(request.param)
    client = connect(module)
    yield module, client
    client.close()


def test_usb_node_is_published_under_serial(make_module, tmp_path):
    module = make_module("usbnode")
    node = tmp_path / "dev" / ("tessaline.%08X" % SERIAL)
    assert os.path.islink(node) and os.readlink(node) == module.info()["path"]
    module.stop()
    assert not os.path.lexists(node)


def test_announce_and_route_packets(link):
    module, client = link
    assert client.announce() == 4
    client.send(0xAF, b"\x01")
    assert module.wait_for(lambda: module.counters["route_on"] == 1, 2)
    client.send(0xAF, b"\x00")
    assert module.wait_for(lambda: module.counters["route_off"] == 1, 2)
    assert module.route_state == 0


def test_heartbeats_sent_and_answers_taken(link):
    module, client = link
    client.send(0xAF, b"\x01")   # a pty session starts with the host's first byte
    assert module.wait_for(lambda: module.counters["heartbeat_answers"] >= 3, 3)
    assert {beat for _, beat in client.heartbeats} <= {0, 1}
    assert all(address == 4 for address, _ in client.heartbeats)
    assert module.counters["heartbeat_bad"] == 0
    assert client.pending() == []          # nothing answers an answer


def test_handshake_six_announcements(link):
    _, client = link
    for _ in range(6):
        client.send(0xAD)
    answers = [client.expect(lambda a, d: d == b"", 1) for _ in range(6)]
    assert answers == [(4, b"")] * 6


@pytest.mark.parametrize("option, kind, expected", [
    (9, "int", SERIAL), (7, "int", version_pack(2, 12, 0)), (8, "byte", 13), (1, "byte", 4),
    (2, "byte", 4), (43, "int", 1000), (45, "int", 0),
])
def test_system_gets(link, option, kind, expected):
    _, client = link
    assert client.get(4, CMD_SYSTEM, option, kind) == expected


@pytest.mark.parametrize("command, option, index, code", [
    (CMD_SYSTEM, 44, 0, 29),     # no such option
    (CMD_SYSTEM, 9, 1, 26),      # one system entity only
    (0x30, 1, 0, 28),            # no such entity class
])
def test_error_answers_for_get(link, command, option, index, code):
    _, client = link
    with pytest.raises(ErrorAnswer) as err:
        client.get(4, command, option, "int", index=index)
    assert err.value.code == code


def test_set_of_read_only_option_is_refused(link):
    _, client = link
    with pytest.raises(ErrorAnswer) as err:
        client.set(4, CMD_SYSTEM, 9, 5, "int")
    assert err.value.code == 29


def test_name_bytes_round_trip(link):
    _, client = link
    assert client.get(4, CMD_SYSTEM, 32, "bytes") == b"SimModule"
    client.set(4, CMD_SYSTEM, 32, b"x" * 30, "bytes")
    assert client.get(4, CMD_SYSTEM, 32, "bytes") == b"x" * 30
    with pytest.raises(ErrorAnswer) as err:
        client.set(4, CMD_SYSTEM, 32, b"y" * 50, "bytes")
    assert err.value.code == 14
    client.set(4, CMD_SYSTEM, 32, b"", "bytes")
    assert client.get(4, CMD_SYSTEM, 32, "bytes") == b""


def test_long_bytes_value_crosses_sequence_wrap(make_module):
    module = make_module("tcp")
    with connect(module) as client:
        words = bytes(range(256)) * 13           # 3328 bytes: 139 packets
        client.set(4, CMD_SYSTEM, 31, words, "bytes")
        assert client.get(4, CMD_SYSTEM, 31, "bytes") == words


def test_entity_store_requests_are_acknowledged(link):
    _, client = link
    for option in (0, 1, 2):
        client.set(4, 0x5C, option, CMD_SYSTEM * 256, "int")


def test_stream_subscription(make_module):
    module = make_module("tcp", stream_interval=0.05, heartbeat=0)
    with connect(module) as client:
        assert client.get(4, 0x5D, 1, "byte") == 0
        client.set(4, 0x5D, 1, 0x04030800 | 0xFF, "int")       # module 4, system, serial, any index
        address, sample = client.expect(lambda a, d: d[:3] == bytes((3, 8, 0x40)), 1)
        assert sample[3] == 1 and len(sample) == 14 and sample[12] == 13 and sample[13] == 0
        assert client.get(4, 0x5D, 1, "byte") == 1
        client.set(4, 0x5D, 1, 0x0403FF00, "int")              # every system option, index 0
        _, sample = client.expect(lambda a, d: d[:3] == bytes((3, 9, 0x40)), 1)
        assert sample[3] == 3 and len(sample) == 17 and sample[12:16] == SERIAL.to_bytes(4, "big")
        client.set(4, 0x5D, 2, 0x0403FFFF, "int")
        time.sleep(0.3)                                         # samples already on their way
        client.drain()
        with pytest.raises(TimeoutError):
            client.expect(lambda a, d: len(d) > 2 and d[2] & 0x40, 0.3)
        with pytest.raises(ErrorAnswer):
            client.set(4, 0x5D, 1, 0x06030800, "int")          # another module's key


def test_byte_option_set_get(link):
    _, client = link
    client.set(4, CMD_SYSTEM, 4, 7, "byte")
    assert client.get(4, CMD_SYSTEM, 4, "byte") == 7


@pytest.mark.parametrize("subindex", range(4))
def test_identifier_words_by_subindex(make_module, subindex):
    words = (0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10)
    module = make_module("tcp", identifier=words)
    with connect(module) as client:
        assert client.get(4, CMD_SYSTEM, 39, "int", subindex=subindex) == words[subindex]


def test_identifier_subindex_out_of_range(make_module):
    module = make_module("tcp")
    with connect(module) as client, pytest.raises(ErrorAnswer) as err:
        client.get(4, CMD_SYSTEM, 39, "int", subindex=4)
    assert err.value.code == 26


def test_information_command(link):
    _, client = link
    assert client.request(4, b"\x49\xff", b"\x49\xff") == b"\x49\xff" + (1000).to_bytes(4, "big")
    assert client.request(4, bytes((CMD_INFO, 1, CMD_UPGRADE, 10, 0, 0x80)), b"\x49\x01") == \
        bytes((CMD_INFO, 1, CMD_UPGRADE, 10, 0, 0))
    assert client.request(4, bytes((CMD_INFO, 1, CMD_SYSTEM, 9, 0, 0x80)), b"\x49\x01")[5] == 29
    assert client.request(4, bytes((CMD_INFO, 1, 0x30, 1, 0, 0x40)), b"\x49\x01")[5] == 28
    assert client.request(4, bytes((CMD_INFO, 4, CMD_SYSTEM)), b"\x49\x04") == \
        bytes((CMD_INFO, 4, CMD_SYSTEM, 1))
    assert client.request(4, bytes((CMD_INFO, 4, 0x30)), b"\x49\x04")[3] == 0


def test_uei_data_support_can_be_withdrawn(make_module):
    module = make_module("tcp", uei_data=False)
    with connect(module) as client:
        answer = client.request(4, bytes((CMD_INFO, 1, CMD_UPGRADE, 10, 0, 0x80)), b"\x49\x01")
        assert answer[5] == 29


@pytest.mark.parametrize("payload", [b"", b"\x01", bytes(range(1, 28))])
def test_echo(link, payload):
    _, client = link
    assert client.request(4, bytes((CMD_DEBUG,)) + payload, bytes((CMD_DEBUG,))) == \
        bytes((CMD_DEBUG,)) + payload


def test_packets_for_other_addresses_are_ignored(link):
    _, client = link
    client.send(6, bytes((CMD_SYSTEM, 0x40 | 9, 0x20)))
    with pytest.raises(TimeoutError):
        client.expect(lambda a, d: True, 0.3)


# -- misbehaviour -------------------------------------------------------------------------

def test_mute_and_unmute(link):
    module, client = link
    module.mute(True)
    client.send(0xAD)
    with pytest.raises(TimeoutError):
        client.expect(lambda a, d: d == b"", 0.3)
    module.mute(False)
    assert client.announce() == 4


def test_slow_answers(link):
    module, client = link
    module.set_delay(0.4)
    client.send(0xAD)
    with pytest.raises(TimeoutError):
        client.expect(lambda a, d: d == b"", 0.15)
    assert client.expect(lambda a, d: d == b"", 2)[0] == 4


def test_mute_after_packets(make_module):
    module = make_module("tcp", mute_after=2)
    with connect(module) as client:
        assert client.announce() == 4
        assert client.announce() == 4
        with pytest.raises(TimeoutError):
            client.announce(0.3)


def test_garbage_on_unframed_link(make_module):
    module = make_module("tcp", heartbeat=0)
    with connect(module) as client:
        assert module.wait_for(lambda: module.transport.active, 2)
        assert module.send_garbage(b"\x05\x00")
        assert client.expect(lambda a, d: True, 1) == (5, b"")


def test_garbage_on_serial_link_is_bad_frames(make_module):
    module = make_module("serial", heartbeat=0)
    with connect(module) as client:
        client.send(0xAF, b"\x01")
        assert module.wait_for(lambda: module.transport.active, 2)
        assert module.send_garbage(b"\x05\x01\x02\x00\x07\x00")
        assert client.announce() == 4
        assert client._decoder.bad_frames == 2


def test_drop_closes_tcp_and_accepts_again(make_module):
    module = make_module("tcp")
    client = connect(module)
    assert client.announce() == 4
    module.drop()
    assert client.wait_closed(2)
    client.close()
    with connect(module) as again:
        assert again.announce() == 4
    assert module.transport.connections == 2


def test_drop_after_packets(make_module):
    module = make_module("tcp", drop_after=2)
    with connect(module) as client:
        assert client.announce() == 4
        client.send(0xAD)
        assert client.wait_closed(2)


def test_new_connection_replaces_old_one(make_module):
    module = make_module("tcp")
    first = connect(module)
    with connect(module) as second:
        assert first.wait_closed(2)
        assert second.announce() == 4
    first.close()


def test_usb_node_leaves_and_comes_back(make_module, tmp_path):
    module = make_module("usbnode")
    node = tmp_path / "dev" / ("tessaline.%08X" % SERIAL)
    client = connect(module)
    assert client.announce() == 4
    old_target = os.readlink(node)
    module.go_away(0.5, after=0)
    assert client.wait_closed(2)
    client.close()
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline and os.path.lexists(node):
        time.sleep(0.02)
    assert not os.path.lexists(node)
    while time.monotonic() < deadline and not os.path.lexists(node):
        time.sleep(0.02)
    assert os.path.lexists(node)
    assert module.transport.enumerations == 2
    with connect(module) as again:
        assert again.announce() == 4
    assert old_target  # the pty may or may not get the same number back


def test_reset_acknowledges_then_leaves(make_module):
    module = make_module("tcp", reboot_delay=1.0)
    client = connect(module)
    client.call(4, CMD_SYSTEM, 11)
    assert client.wait_closed(2)
    client.close()
    assert module.counters["reboots"] == 1
    deadline = time.monotonic() + 1
    while module.transport.listening and time.monotonic() < deadline:
        time.sleep(0.01)
    with pytest.raises(ConnectionRefusedError):      # rebooting: nobody listens
        connect(module)
    deadline = time.monotonic() + 4
    while True:
        try:
            with connect(module) as again:
                assert again.announce(0.5) == 4
                break
        except (TimeoutError, OSError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
