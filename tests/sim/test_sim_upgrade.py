"""The upgrade command of the simulated module, driven by a minimal host."""

import os
import time

import pytest

from sim_client import SimClient
from sim_module import ModuleConfig, SimModule
from sim_protocol import CMD_INFO, CMD_SYSTEM, CMD_UPGRADE, u16, u32, version_pack
from sim_upgrade import Fault

SERIAL = 0x40F5849A
ADDR = 4
LOADER = [(0x10000000, 1, bytes((i * 7) & 0xFF for i in range(300)))]
FIRMWARE = [(0x4000, 0, bytes((i * 13 + 5) & 0xFF for i in range(1000))),
            (0x8000, 2, bytes(range(256)) * 2)]


def connect(module, timeout=3.0):
    """Connects, retrying while the module is away (reboot, re-enumeration)."""
    deadline = time.monotonic() + timeout
    while True:
        client = None
        try:
            client = SimClient.connect(module.info())
            client.send(0xAF, b"\x01")
            client.announce(0.5)
            return client
        except (OSError, TimeoutError):
            if client is not None:
                client.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


class Host:
    """Just enough of an updater to drive the module's upgrade command."""

    def __init__(self, client, address=ADDR):
        self.client = client
        self.address = address

    def ask(self, option, payload=b"", reply=None, timeout=1.0):
        reply = option if reply is None else reply
        return self.client.request(self.address, bytes((CMD_UPGRADE, option)) + payload,
                                   bytes((CMD_UPGRADE, reply)), timeout)

    def init(self):
        return int.from_bytes(self.ask(0)[2:6], "big")

    def prepare(self, address, flags=0):
        answer = self.ask(3, bytes((flags,)) + u32(address), reply=7)
        return answer[2], int.from_bytes(answer[3:5], "big")

    def data(self, image, resend_limit=3):
        """DATA packets of 26 bytes; a wrong count makes the chunk go again."""
        resends = 0
        offset = 0
        while offset < len(image):
            chunk = image[offset:offset + 26]
            if self.ask(1, chunk)[2] != len(chunk):
                resends += 1
                assert resends <= resend_limit
                continue
            offset += len(chunk)
        return resends

    def uei_data(self, image):
        self.client.set(self.address, CMD_UPGRADE, 10, image, "bytes", timeout=4)

    def check_sum(self, image):
        answer = self.ask(4, reply=7)
        return answer[2] == 0 and int.from_bytes(answer[3:7], "big") == sum(image) & 0xFFFFFFFF

    def write(self, length):
        return self.ask(5, u16(length), reply=7)[2]

    def load(self, timeout=1.0):
        return self.ask(2, timeout=timeout)

    def reboot(self):
        self.client.send(self.address, bytes((CMD_UPGRADE, 6)))

    def firmware_block(self, address, flags, image, uei=False):
        status, piece = self.prepare(address, flags)
        assert status == 0 and piece > 0
        for offset in range(0, len(image), piece):
            part = image[offset:offset + piece]
            if uei:
                self.uei_data(part)
            else:
                self.data(part)
            if not self.check_sum(part):
                return False
            if self.write(len(part)) != 0:
                return False
        return True


@pytest.fixture
def make(tmp_path):
    modules = []

    def factory(transport="tcp", serial_override=SERIAL, **kw):
        kw.setdefault("heartbeat", 0.2)
        config = ModuleConfig(serial=serial_override, address=ADDR, transport=transport,
                              device_dir=str(tmp_path / "dev"), flash_file=str(tmp_path / "flash"),
                              flash_size=0x10000, reboot_delay=0.3, reenumerate_delay=0.3, **kw)
        module = SimModule(config).start()
        modules.append(module)
        return module
    yield factory
    for module in modules:
        module.stop()
    assert [m.transport.handler_errors for m in modules] == [0] * len(modules)


def flash_holds(module, blocks):
    return all(module.upgrade.flash.read(address, len(image)) == image
               for address, _, image in blocks)


def send_loader(host):
    assert host.init() == 0x10000000
    for address, flags, image in LOADER:
        status, _ = host.prepare(address, flags)
        assert status == 0
        host.data(image)
        assert host.check_sum(image)


def full_update(module, uei=False):
    client = connect(module)
    host = Host(client)
    send_loader(host)
    if module.config.transport == "usbnode":
        # The loader starts on a fresh USB device under the same serial number
        # and answers LOAD there once the host has reconnected.
        client.send(ADDR, bytes((CMD_UPGRADE, 2)))
        assert client.wait_closed(3)
        client.close()
        client = connect(module)
        client.expect(lambda a, d: d == bytes((CMD_UPGRADE, 2)), 1)
        host = Host(client)
    else:
        host.load()
    for address, flags, image in FIRMWARE:
        assert host.firmware_block(address, flags, image, uei)
    host.reboot()
    if module.config.transport == "serial":
        # A serial line cannot close: the rebooting module falls silent.
        with pytest.raises(TimeoutError):
            client.announce(0.2)
    else:
        assert client.wait_closed(3)
    client.close()


@pytest.mark.parametrize("transport", ["tcp", "serial", "usbnode"])
def test_happy_path(make, transport):
    module = make(transport, new_version=(2, 15, 1), new_build=2001, piece_size=200)
    full_update(module)
    assert flash_holds(module, FIRMWARE)
    assert module.upgrade.loader_blocks == [
        {"address": LOADER[0][0], "flags": 1, "data": bytearray(LOADER[0][2])}]
    writes = module.upgrade.flash.writes
    assert [length for _, length in writes] == [200] * 5 + [200, 200, 112]
    assert module.counters["reboots"] == 1
    with connect(module) as client:
        assert client.get(ADDR, CMD_SYSTEM, 7, "int") == version_pack(2, 15, 1)
        assert client.request(ADDR, b"\x49\xff", b"\x49\xff")[2:] == u32(2001)


def test_usb_module_can_answer_load_before_leaving(make):
    module = make("usbnode", load_reply_first=True)
    client = connect(module)
    host = Host(client)
    send_loader(host)
    host.load()
    assert client.wait_closed(3)
    client.close()
    with connect(module) as again:
        assert Host(again).firmware_block(*FIRMWARE[0])
        assert again.pending() == []          # no second LOAD answer


def test_uei_bytes_path_and_pooling_feature(make):
    module = make("tcp", features=0x80000000)
    with connect(module) as client:
        assert client.get(ADDR, CMD_SYSTEM, 45, "int") & 0x80000000
        assert client.request(ADDR, bytes((CMD_INFO, 1, CMD_UPGRADE, 10, 0, 0x80)),
                              b"\x49\x01")[5] == 0
    full_update(module, uei=True)
    assert flash_holds(module, FIRMWARE)


def test_piece_size_and_load_base_are_configurable(make):
    module = make("tcp", piece_size=64, load_base=0x20000400)
    with connect(module) as client:
        host = Host(client)
        assert host.init() == 0x20000400
        assert host.prepare(0x100)[1] == 64


@pytest.mark.parametrize("length_delta", [-1, 1])
def test_write_of_wrong_length_fails(make, length_delta):
    module = make("tcp", in_loader=True)
    with connect(module) as client:
        host = Host(client)
        host.prepare(0x100)
        host.data(b"\x01" * 40)
        assert host.write(40 + length_delta) != 0
    assert module.upgrade.flash.writes == []


def test_write_before_loader_runs_fails(make):
    module = make("tcp")
    with connect(module) as client:
        host = Host(client)
        host.init()
        host.prepare(0x100)
        host.data(b"\x01" * 10)
        assert host.write(10) != 0


def test_prepare_outside_flash_fails(make):
    module = make("tcp", in_loader=True)
    with connect(module) as client:
        assert Host(client).prepare(0x20000)[0] != 0


# -- faults --------------------------------------------------------------------------------

def test_wrong_data_count_makes_host_resend(make):
    module = make("tcp", faults=[Fault.parse("wrong_count@3x2")])
    with connect(module) as client:
        host = Host(client)
        send_loader_resends = None
        assert host.init()
        host.prepare(*LOADER[0][:2])
        send_loader_resends = host.data(LOADER[0][2])
        assert send_loader_resends == 2
        assert host.check_sum(LOADER[0][2])        # dropped chunks were not summed
    assert bytes(module.upgrade.loader_blocks[0]["data"]) == LOADER[0][2]


def test_bad_sum_on_chosen_block_then_retry(make):
    module = make("tcp", in_loader=True, piece_size=256, faults=[Fault.parse("bad_sum@2")])
    address, flags, image = FIRMWARE[0]
    with connect(module) as client:
        host = Host(client)
        assert not host.firmware_block(address, flags, image)   # second piece fails its sum
        assert host.firmware_block(address, flags, image)       # a retry from PREPARE works
    assert flash_holds(module, FIRMWARE[:1])


def test_write_failure_then_retry(make):
    module = make("tcp", in_loader=True, faults=[Fault.parse("write_fail@1")])
    address, flags, image = FIRMWARE[1]
    with connect(module) as client:
        host = Host(client)
        assert not host.firmware_block(address, flags, image)
        assert host.firmware_block(address, flags, image)
    assert flash_holds(module, FIRMWARE[1:])


@pytest.mark.parametrize("fault", ["prepare_timeout@1", "prepare_fail@1"])
def test_prepare_faults(make, fault):
    module = make("tcp", in_loader=True, faults=[Fault.parse(fault)])
    with connect(module) as client:
        host = Host(client)
        if fault.startswith("prepare_timeout"):
            with pytest.raises(TimeoutError):
                host.prepare(0x100)
        else:
            assert host.prepare(0x100)[0] != 0
        assert host.prepare(0x100)[0] == 0


def test_no_load_reply_until_reconnect(make):
    module = make("tcp", faults=[Fault.parse("no_load_reply@1")])
    client = connect(module)
    host = Host(client)
    send_loader(host)
    with pytest.raises(TimeoutError):
        host.load(timeout=0.5)
    client.close()
    with connect(module) as again:      # connect() sends the route-on packet first
        again.expect(lambda a, d: d == bytes((CMD_UPGRADE, 2)), 1)
    assert module.upgrade.in_loader


@pytest.mark.parametrize("transport", ["tcp", "usbnode", "serial"])
def test_disconnect_in_the_middle_of_a_block(make, transport):
    module = make(transport, in_loader=True, faults=[Fault.parse("disconnect_data@4")])
    address, flags, image = FIRMWARE[0]
    client = connect(module)
    host = Host(client)
    host.prepare(address, flags)
    with pytest.raises(TimeoutError):
        host.data(image[:200])
    if transport != "serial":                  # a serial module just falls silent for a while
        assert client.wait_closed(2)
    client.close()
    with connect(module) as again:
        assert Host(again).firmware_block(address, flags, image)
    assert flash_holds(module, FIRMWARE[:1])


def test_reboot_drops_link_and_keeps_flash(make, tmp_path):
    module = make("tcp", in_loader=True)
    address, flags, image = FIRMWARE[0]
    client = connect(module)
    host = Host(client)
    assert host.firmware_block(address, flags, image)
    host.reboot()
    assert client.wait_closed(2)
    client.close()
    with open(tmp_path / "flash", "rb") as f:
        f.seek(address)
        assert f.read(len(image)) == image
    assert os.path.getsize(tmp_path / "flash") == 0x10000
    with connect(module) as again:
        assert again.get(ADDR, CMD_SYSTEM, 7, "int") == version_pack(2, 12, 0)   # unchanged


@pytest.mark.parametrize("text, fault", [
    ("bad_sum", Fault("bad_sum", 1, 1)), ("write_fail@3", Fault("write_fail", 3, 1)),
    ("wrong_count@2x0", Fault("wrong_count", 2, 0)),
])
def test_fault_parsing(text, fault):
    assert Fault.parse(text) == fault


@pytest.mark.parametrize("text", ["nonsense", "bad_sum@0", "bad_sum@x"])
def test_fault_parsing_rejects(text):
    with pytest.raises(ValueError):
        Fault.parse(text)


def test_recovery_loader_comes_back_under_its_real_serial(make, tmp_path):
    module = make("usbnode", serial_override=0xDEADDEAD, in_loader=True, new_serial=SERIAL,
                  new_build=3003)
    client = connect(module)
    assert client.get(ADDR, CMD_SYSTEM, 9, "int") == 0xDEADDEAD
    assert client.get(ADDR, CMD_SYSTEM, 39, "int", subindex=3) == module.config.identifier[3]
    host = Host(client)
    assert host.firmware_block(*FIRMWARE[0])
    host.reboot()
    assert client.wait_closed(3)
    client.close()
    with connect(module) as again:
        assert again.get(ADDR, CMD_SYSTEM, 9, "int") == SERIAL
    assert not os.path.lexists(tmp_path / "dev" / "tessaline.DEADDEAD")
    assert os.path.islink(tmp_path / "dev" / ("tessaline.%08X" % SERIAL))


def test_upgrade_of_a_module_behind_a_router(tmp_path):
    behind = ModuleConfig(serial=SERIAL, transport=None, address=10, in_loader=True,
                          reboot_delay=0.5, new_build=555, flash_file=str(tmp_path / "flash"),
                          flash_size=0x10000)
    router = ModuleConfig(serial=0x1000, address=2, heartbeat=0, bus=[behind],
                          flash_file=str(tmp_path / "router"))
    with SimModule(router) as module, SimClient.connect(module.info()) as client:
        client.set(2, CMD_SYSTEM, 20, 1, "byte")
        host = Host(client, 10)
        for block in FIRMWARE:
            assert host.firmware_block(*block)
        host.reboot()
        probe = bytes((8, 0, 10, 2, 3, 0, 0))
        assert client.request(2, probe, probe[:3] + b"\x00")[4] & 0x80   # off the bus
        assert not client.closed_by_peer                                   # router link stays
        deadline = time.monotonic() + 3
        while client.request(2, probe, probe[:3] + b"\x00")[4] and time.monotonic() < deadline:
            time.sleep(0.1)
        assert client.request(10, b"\x49\xff", b"\x49\xff")[2:] == u32(555)
        bus_module = module.bus[10]
        assert flash_holds(bus_module, FIRMWARE)
