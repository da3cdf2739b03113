"""A router module carries the traffic of the modules on its I2C bus."""

import pytest

from sim_client import SimClient
from sim_module import ModuleConfig, Simulator
from sim_protocol import CMD_I2C, CMD_SYSTEM

ROUTER, FIRST, SECOND = 0x1000AAAA, 0x2000BBBB, 0x3000CCCC


@pytest.fixture
def routed(tmp_path, request):
    mode = getattr(request, "param", "strict")
    bus = [ModuleConfig(serial=FIRST, address=10, model=14),     # transport ignored on a bus
           ModuleConfig(serial=SECOND, transport=None, address=12, build=77)]
    router = ModuleConfig(serial=ROUTER, address=2, heartbeat=0, bus=bus, i2c_devices=[0x40],
                          flash_file=str(tmp_path / "f.bin"), route_mode=mode)
    with Simulator([router]) as sim:
        info = sim.info()["modules"][0]
        with SimClient.tcp(info["host"], info["port"]) as client:
            yield sim, client


def probe(client, address):
    request = bytes((CMD_I2C, 0, address, 2, 3, 0, 0))
    return client.request(2, request, bytes((CMD_I2C, 0, address, 0)))[4]


def test_probe_finds_bus_devices_only(routed):
    sim, client = routed
    assert sim.find(FIRST).transport is None
    found = [a for a in range(2, 254, 2) if probe(client, a) == 0]
    assert found == [10, 12, 0x40]
    assert probe(client, 14) & 0x80


def test_bus_modules_answer_only_while_routed(routed):
    sim, client = routed
    client.send(10, bytes((CMD_SYSTEM, 0x40 | 9, 0x20)))
    with pytest.raises(TimeoutError):
        client.expect(lambda a, d: a == 10, 0.3)

    client.set(2, CMD_SYSTEM, 20, 1, "byte")
    assert client.get(10, CMD_SYSTEM, 9, "int") == FIRST
    assert client.get(12, CMD_SYSTEM, 9, "int") == SECOND
    assert client.get(10, CMD_SYSTEM, 8, "byte") == 14
    assert client.get(10, CMD_SYSTEM, 1, "byte") == 10
    assert client.get(10, CMD_SYSTEM, 2, "byte") == 2          # its router's address
    assert client.request(12, b"\x49\xff", b"\x49\xff")[2:] == (77).to_bytes(4, "big")
    assert client.announce() == 2                                 # only the router announces

    client.set(2, CMD_SYSTEM, 20, 0, "byte")
    client.send(10, bytes((CMD_SYSTEM, 0x40 | 9, 0x20)))
    with pytest.raises(TimeoutError):
        client.expect(lambda a, d: a == 10, 0.3)
    assert sim.find(ROUTER).routing is False


def test_i2c_read_and_pullup(routed):
    sim, client = routed
    answer = client.request(2, bytes((CMD_I2C, 0, 0x41, 4, 3)), bytes((CMD_I2C, 0, 0x41)))
    assert answer[3:5] == bytes((4, 0)) and len(answer) == 9
    answer = client.request(2, bytes((CMD_I2C, 0, 1, 1)), bytes((CMD_I2C, 0, 1)))
    assert answer[4] == 0
    assert any(kind == "i2c_pullup" for _, kind, _ in sim.find(ROUTER).events)


def test_muted_bus_module_does_not_ack_probe(routed):
    sim, client = routed
    sim.find(FIRST).mute(True)
    assert probe(client, 10) & 0x80
    assert probe(client, 12) == 0


def answers(client, address):
    client.send(address, bytes((CMD_SYSTEM, 0x40 | 9, 0x20)))
    try:
        client.expect(lambda a, d: a == address and d[:2] == bytes((CMD_SYSTEM, 9)), 0.3)
        return True
    except TimeoutError:
        return False


@pytest.mark.parametrize("routed, expected", [
    # after routeToMe(0), then a new link's route-on, then routeToMe(1)
    ("strict", [False, False, True]),
    ("link", [False, True, True]),
    ("always", [True, True, True]),
], indirect=["routed"])
def test_route_modes(routed, expected):
    _, client = routed
    client.set(2, CMD_SYSTEM, 20, 0, "byte")
    seen = [answers(client, 10)]
    client.send(0xAF, b"\x00")
    client.send(0xAF, b"\x01")
    seen.append(answers(client, 10))
    client.set(2, CMD_SYSTEM, 20, 1, "byte")
    seen.append(answers(client, 10))
    assert seen == expected


@pytest.mark.parametrize("refuse, option, code", [
    ([(20, 7)], 20, 7),          # a router that will not route
    ([(9, 6)], 9, 6),            # a serial number that cannot be read
])
def test_refused_system_option_answers_its_error(tmp_path, refuse, option, code):
    config = ModuleConfig(serial=ROUTER, heartbeat=0, refuse=refuse, flash_file=str(tmp_path / "f.bin"))
    with Simulator([config]) as sim:
        info = sim.info()["modules"][0]
        with SimClient.tcp(info["host"], info["port"]) as client:
            flags = 0x80 if option == 20 else 0x40
            request = bytes((CMD_SYSTEM, flags | option, 0)) + (b"\x01" if option == 20 else b"")
            answer = client.request(2, request, bytes((CMD_SYSTEM,)))
            assert answer[2] == 0x80 and answer[3] == code
            assert client.get(2, CMD_SYSTEM, 8, "byte") == config.model     # others still answer
            assert sim.find(ROUTER).routing is False


def test_build_request_left_unanswered(tmp_path):
    config = ModuleConfig(serial=ROUTER, heartbeat=0, build_reply=False, flash_file=str(tmp_path / "f.bin"))
    with Simulator([config]) as sim:
        info = sim.info()["modules"][0]
        with SimClient.tcp(info["host"], info["port"]) as client:
            client.send(2, b"\x49\xff")
            with pytest.raises(TimeoutError):
                client.expect(lambda a, d: d[:2] == b"\x49\xff", 0.3)
            assert client.get(2, CMD_SYSTEM, 43, "int") == config.build
