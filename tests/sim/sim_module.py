#!/usr/bin/python3
"""Simulated Tessaline module: the module side of the link, for tests.

What a module does here:
  * answers each empty packet to 0xAD with an empty packet from its address;
  * sends heartbeats (address, 2, 0, 0|1) and takes the host's answers;
  * takes route packets to 0xAF (1 at link start, 0 at stop);
  * answers UEI gets/sets/calls of the system entity (command 3), the
    upgrade entity's option 10 (command 0x5F) and the entity store (0x5C),
    with error answers (index bit 7 + code) for what it does not know;
  * answers the information command 0x49, the echo test 0x17 and the I2C
    entity (command 8);
  * streams samples of the options the host subscribed to (command 0x5D,
    option 1 set = subscribe key, option 2 set = unsubscribe; 0xFF wildcards);
  * speaks the upgrade command (sim_upgrade.py) into a flash file;
  * as a router, carries the traffic of the modules on its I2C bus once the
    host asked it to route (system option 20 set to 1; route_mode widens it);
  * misbehaves on request: mute, slow answers, garbage, dropped links,
    refused system options (refuse=20 for routeToMe), no build answer.

Python API (in-process, for pytest fixtures):

    from sim_module import ModuleConfig, SimModule, Simulator

    with SimModule(ModuleConfig(serial=0x40F5849A, transport="tcp")) as m:
        port = m.info()["port"]            # host connects to 127.0.0.1:port
        m.wait_for(lambda: m.counters["route_on"] >= 1, 2)

    router = ModuleConfig(serial=0x1000, transport="usbnode", device_dir=d,
                          bus=[ModuleConfig(serial=0x2000, address=10)])
    with Simulator([router]) as sim: ...   # several modules, one object
        sim.find(0x2000).mute(True)

    ModuleConfig fields are the knobs (see the class); faults are
    sim_upgrade.Fault("bad_sum", at=2). A module's config is its live state:
    a reboot after an upgrade writes new_version/new_build/new_serial into it.
    Observe with m.counters, m.events, m.status(), m.upgrade.flash.read().
    sim_process.SimProcess runs the command line below as a child process;
    netns.NetnsPair gives TCP/IP discovery a private network.

    Misbehaviour at run time: m.mute(True), m.set_delay(0.3),
    m.send_garbage(b"..."), m.drop(), m.go_away(seconds), m.reboot().

Command line (prints one line "READY <json>" on stdout once listening):

    sim_module.py --serial 40F5849A --transport tcp --port 0
    sim_module.py --module serial=1000,transport=usbnode,address=2 \
                  --module serial=2000,router=1000,address=10 ...

Every option of ModuleConfig is a flag (--piece-size 128) and a key of
--module (piece-size=128); run with --help for the list. Control commands on
standard input, one per line, each answered by one JSON line:
    status SERIAL | mute SERIAL on|off | delay SERIAL SECONDS |
    garbage SERIAL [COUNT] | drop SERIAL | away SERIAL SECONDS |
    reboot SERIAL | quit
The process ends on "quit", SIGTERM or SIGINT, removing its device nodes.
"""

import argparse
import json
import random
import shutil
import signal
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field, fields

from sim_protocol import (CMD_DEBUG, CMD_ENTITY_STORE, CMD_HEARTBEAT, CMD_I2C, CMD_INFO,
                          CMD_STREAM,
                          CMD_SYSTEM, CMD_UPGRADE, ERR_INDEX_RANGE, ERR_INVALID_ENTITY,
                          ERR_INVALID_OPTION, ERR_IO, ERR_MODE, ERR_NONE, ERR_PARAM,
                          ERR_SHORT_COMMAND, ERR_SIZE, FLAG_ACK, FLAG_GET, FLAG_SET, INDEX_ERROR,
                          MAX_DATA, NON_UEI_COMMANDS, ROUTE_ADDRESS, SYNC_ADDRESS, UEI_BYTES_CHUNK,
                          UP_DATA_UEI, packet_bytes, u32, uei_bytes_packets, version_pack)
from sim_transports import make_transport
from sim_upgrade import Fault, UpgradeEngine

VALUE_SIZES = {"void": 0, "byte": 1, "short": 2, "int": 4}


@dataclass
class ModuleConfig:
    serial: int
    transport: str = "tcp"          # tcp | serial | usbnode | None (on a router's bus)
    address: int = 2
    host: str = "127.0.0.1"
    port: int = 0
    device_dir: str = None          # usbnode: default $TESSALINE_DEVICE_DIR
    model: int = 13
    version: tuple = (2, 12, 0)
    build: int = 1000
    name: bytes = b"SimModule"
    hardware_version: int = 0x00010000
    router_address: int = None      # reported router address; default: own/router's
    heartbeat: float = 0.5          # seconds between heartbeats; 0: none
    features: int = 0               # protocol features word; bit 31 = pooled packets
    uei_data: bool = True           # takes upgrade data as a bytes value (option 10)
    identifier: tuple = (0x0A0B0C0D, 0x11223344, 0x55667788, 0x99AABBCC)
    reply_limit: int = MAX_DATA     # largest packet the module sends (data bytes)
    # upgrade
    load_base: int = 0x10000000
    piece_size: int = 256
    flash_file: str = None
    flash_base: int = 0
    flash_size: int = 0x100000
    in_loader: bool = False         # already running its loader (recovery)
    reboot_delay: float = 0.5
    reenumerate: bool = None        # leave the bus after LOAD; default: usbnode only
    reenumerate_delay: float = 0.5
    load_reply_first: bool = False  # re-enumerating: answer LOAD before leaving
    reenumerate_after: float = None # seconds from LOAD to leaving; default 0.2 / 0.05
    new_version: tuple = None       # what the module runs after an upgrade
    new_build: int = None
    new_serial: int = None          # serial number after an upgrade (a loader's placeholder)
    faults: list = field(default_factory=list)
    # router
    bus: list = field(default_factory=list)          # ModuleConfig of modules behind
    i2c_devices: list = field(default_factory=list)  # plain devices that ack writes
    route_mode: str = "strict"      # when bus traffic passes: strict (routeToMe only),
                                    # link (also the host's route packets), always
    refuse: list = field(default_factory=list)       # (option, code): system options answered
                                                     # with that error (20: routeToMe, 9: serial)
    build_reply: bool = True        # answers the build request (0x49 0xFF)
    # misbehaviour from the start
    mute: bool = False
    delay: float = 0.0
    mute_after: int = 0             # stop answering after this many packets
    drop_after: int = 0             # drop the link when this many packets arrived
    garbage_interval: float = 0.0   # send random bytes this often
    stream_interval: float = 0.2    # seconds between samples of subscribed options

    def __post_init__(self):
        if not 0 < self.address < 0xFF or self.address & 1:
            raise ValueError("module address must be even and non-zero: %r" % self.address)
        if self.route_mode not in ("strict", "link", "always"):
            raise ValueError("route mode must be strict, link or always")
        if self.transport not in (None, "tcp", "serial", "usbnode"):
            raise ValueError("unknown transport %r" % self.transport)
        if not 0 < self.piece_size <= 0xFFFF:
            raise ValueError("piece size must be 1..65535")
        if not 5 <= self.reply_limit <= MAX_DATA:
            raise ValueError("reply limit must be 5..%d" % MAX_DATA)


class UEIError(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


@dataclass
class Option:
    kind: str                 # void | byte | short | int | bytes
    get: object = None        # (index, subindex) -> int or bytes
    set: object = None        # (index, subindex, value) -> error code or None
    subindexed: bool = False
    set_kind: str = None      # when a set carries another type than a get answers


class Entity:
    def __init__(self, count=1):
        self.count = count
        self.options = {}


class SimModule:
    """One simulated module; `start()`/`stop()` or use it as a context manager."""

    def __init__(self, config, router=None):
        if router is not None:
            config.transport = None     # reached only through its router's link
        self.config = config
        self.router = router
        self.address = config.address
        self.transport = None
        self.events = []
        self.counters = {"packets": 0, "announce": 0, "route_on": 0, "route_off": 0,
                         "heartbeats": 0, "heartbeat_answers": 0, "heartbeat_bad": 0,
                         "uei": 0, "reboots": 0, "loader_starts": 0}
        self.route_state = None
        self.routing = False          # routeToMe: pass bus traffic to the host
        self.values = {"led": 0, "boot_slot": 0, "sw_offset": 0, "hb_interval": 0,
                       "power_behavior": 0, "power_config": b"", "power_limit_max": 0,
                       "link_interface": 0, "led_max": 255}
        self._muted = config.mute
        self._delay = config.delay
        self._cond = threading.Condition()
        self._lock = threading.RLock()
        self._stop = threading.Event()
        self._threads = []
        self._bytes_in = {}
        self.streams = set()          # subscribed stream keys (low 32 bits)
        self._down_until = 0.0
        self._started_at = time.monotonic()
        self._workdir = None
        self.bus = {}
        for sub in config.bus:
            module = SimModule(sub, router=self)
            self.bus[module.address] = module
        self.entities = self._build_entities()
        self.upgrade = UpgradeEngine(self)

    # -- life cycle ------------------------------------------------------------
    def workdir(self):
        if self._workdir is None:
            root = self.router.workdir() if self.router else None
            self._workdir = tempfile.mkdtemp(prefix="sim-%08X-" % self.config.serial, dir=root)
        return self._workdir

    def start(self):
        if self.config.transport:
            self.transport = make_transport(self.config.transport, self.config.serial,
                                            self.config.host, self.config.port,
                                            self.config.device_dir)
            self.transport.on_packet = self.on_link_packet
            self.transport.on_session = self._on_session
            self.transport.start()
            self._spawn(self._heartbeat_loop, "heartbeat")
            self._spawn(self._stream_loop, "stream")
            if self.config.garbage_interval > 0:
                self._spawn(self._garbage_loop, "garbage")
        for module in self.bus.values():
            module.start()
        return self

    def stop(self):
        self._stop.set()
        for module in self.bus.values():
            module.stop()
        for thread in self._threads:
            thread.join(5)
        self._threads = []
        if self.transport is not None:
            self.transport.stop()
        if self._workdir is not None and self.router is None:
            shutil.rmtree(self._workdir, ignore_errors=True)   # only the flash nobody named
            self._workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _spawn(self, target, name):
        thread = threading.Thread(target=target, name="%s-%08X" % (name, self.config.serial),
                                  daemon=True)
        thread.start()
        self._threads.append(thread)

    def info(self):
        info = {"serial": "%08X" % self.config.serial, "address": self.address,
                "model": self.config.model, "flash_file": self.upgrade.flash.path}
        if self.transport is not None:
            info.update(self.transport.info())
        else:
            info["router"] = "%08X" % self.router.config.serial
        if self.bus:
            info["bus"] = [m.info() for m in self.bus.values()]
        return info

    # -- observation -----------------------------------------------------------
    def event(self, kind, **details):
        with self._cond:
            self.events.append((time.monotonic(), kind, details))
            self._cond.notify_all()

    def count(self, name, step=1):
        with self._cond:
            self.counters[name] = self.counters.get(name, 0) + step
            self._cond.notify_all()

    def wait_for(self, predicate, timeout):
        """Waits (bounded) until predicate() is true; returns its last value."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                value = predicate()
                left = deadline - time.monotonic()
                if value or left <= 0:
                    return value
                self._cond.wait(min(left, 0.1))

    def status(self):
        return {"serial": "%08X" % self.config.serial, "address": self.address,
                "version": list(self.config.version), "build": self.config.build,
                "counters": dict(self.counters), "route": self.route_state,
                "routing": self.routing, "muted": self._muted,
                "connected": bool(self.transport and self.transport.active),
                "upgrade": self.upgrade.status()}

    # -- misbehaviour ----------------------------------------------------------
    def mute(self, on=True):
        self._muted = on

    def set_delay(self, seconds):
        self._delay = seconds

    def send_garbage(self, data=None):
        """Writes bytes that are no packet at all straight onto the link."""
        if data is None:
            data = bytes(random.choice((1, 3, 5, 7, 0xFF)) for _ in range(16))
        link = self._link_transport()
        return bool(link and link.send_raw(bytes(data)))

    def drop(self):
        self.transport_drop()

    def transport_drop(self):
        link = self._link_transport()
        if self.router is not None:
            self.go_away(self.config.reboot_delay)
        elif link is not None:
            link.drop()

    def go_away(self, seconds, after=0.1):
        """Leaves the link (or, behind a router, the bus) for a while."""
        if self.transport is not None:
            self.transport.go_away(seconds, after)
        self._down_until = time.monotonic() + after + seconds

    def reboot(self, upgraded=False):
        """Leaves the link for reboot_delay; the config then tells what runs."""
        cfg = self.config
        self.count("reboots")
        self.event("reboot", upgraded=upgraded)
        if upgraded:
            if cfg.new_version is not None:
                cfg.version = tuple(cfg.new_version)
            if cfg.new_build is not None:
                cfg.build = cfg.new_build
            if cfg.new_serial is not None:
                cfg.serial = cfg.new_serial
                if self.transport is not None and hasattr(self.transport, "rename_to"):
                    self.transport.rename_to = cfg.new_serial
        self.upgrade.in_loader = False
        self.routing = False
        self.streams = set()
        self.go_away(cfg.reboot_delay)

    def reenumerates(self):
        """Whether starting the loader makes this module leave and rejoin the bus."""
        if self.config.reenumerate is None:
            return self.config.transport == "usbnode"
        return self.config.reenumerate

    def loader_started(self):
        self.count("loader_starts")
        if self.reenumerates():
            self.event("reenumerate")
            # An answer written just before the node vanishes must be read first.
            after = self.config.reenumerate_after
            if after is None:
                after = 0.2 if self.config.load_reply_first else 0.05
            self.go_away(self.config.reenumerate_delay, after=after)

    # -- sending -----------------------------------------------------------------
    def _link_transport(self):
        return self.router._link_transport() if self.router else self.transport

    def emit(self, data):
        """Sends one packet from this module's address to the host."""
        if self.router is not None:
            if not self.router.passes_bus_traffic():
                return False
            return self.router.emit_for(self.address, data)
        return self.emit_for(self.address, data)

    def emit_for(self, address, data):
        if self._muted or self.transport is None:
            return False
        data = bytes(data)
        if len(data) > self.config.reply_limit:
            raise ValueError("answer longer than the packet limit")
        return self.transport.send(packet_bytes(address, data))

    def _emit_error(self, command, option_byte, index, code):
        self.emit(bytes((command, option_byte, (index & 0x1F) | INDEX_ERROR, code)))

    # -- link side ---------------------------------------------------------------
    def _on_session(self, active):
        self.event("session", active=active)
        if not active:
            self._bytes_in.clear()

    def _heartbeat_loop(self):
        beat = 0
        while not self._stop.wait(self.config.heartbeat or 0.5):
            if self.config.heartbeat <= 0 or self._muted or not self.transport.active:
                continue
            if self.emit_for(self.address, bytes((CMD_HEARTBEAT, beat))):
                self.count("heartbeats")
            beat ^= 1

    def _stream_loop(self):
        while not self._stop.wait(self.config.stream_interval):
            modules = [self] + list(self.bus.values())
            if self.transport.active:
                for module in modules:
                    module.send_stream_samples()

    def send_stream_samples(self):
        """One sample of every option that a subscription covers."""
        if self._muted or not self.streams:
            return
        stamp = int((time.monotonic() - self._started_at) * 1e6).to_bytes(8, "big")
        for command, option, index, kind, value in self._streamed_values():
            size = VALUE_SIZES[kind]
            packet_type = {1: 1, 2: 2, 4: 3}[size]
            self.emit(bytes((command, option, index | 0x40, packet_type)) + stamp
                      + value.to_bytes(size, "big") + b"\x00")

    def _streamed_values(self):
        for command, entity in self.entities.items():
            for option, spec in entity.options.items():
                if spec.get is None or spec.subindexed or spec.kind not in ("byte", "short", "int"):
                    continue
                for index in range(entity.count):
                    if any(self._covers(key, command, option, index) for key in self.streams):
                        size = VALUE_SIZES[spec.kind]
                        value = spec.get(index, 0) & ((1 << 8 * size) - 1)
                        yield command, option, index, spec.kind, value

    @staticmethod
    def _covers(key, command, option, index):
        wanted = ((key >> 16) & 0xFF, (key >> 8) & 0xFF, key & 0xFF)
        return all(w in (0xFF, v) for w, v in zip(wanted, (command, option, index)))

    def _garbage_loop(self):
        while not self._stop.wait(self.config.garbage_interval):
            if self.transport.active and not self._muted:
                self.send_garbage()

    def on_link_packet(self, address, data):
        """A packet from the host arrived on this module's own link."""
        with self._lock:
            self.count("packets")
            n = self.counters["packets"]
            if self.config.mute_after and n > self.config.mute_after:
                self._muted = True
            if self.config.drop_after and n == self.config.drop_after:
                self.event("drop_after", packets=n)
                self.transport.drop()
                return
            if self._muted:
                return
            if self._delay > 0:
                time.sleep(self._delay)
            if address == SYNC_ADDRESS:
                if not data:
                    self.count("announce")
                    self.emit_for(self.address, b"")
                return
            if address == ROUTE_ADDRESS:
                self._route_packet(data)
                return
            if address == self.address:
                self.handle(data)
                return
            module = self.bus.get(address)
            if module is not None and self.passes_bus_traffic():
                module.on_bus_packet(data)

    def passes_bus_traffic(self):
        return self.routing or self.config.route_mode == "always"

    def _route_packet(self, data):
        if not data:
            return
        self.route_state = data[0]
        if self.config.route_mode == "link":
            self.routing = bool(data[0])
        self.count("route_on" if data[0] else "route_off")
        self.event("route", value=data[0])
        if data[0]:
            self.upgrade.route_on()

    def on_bus_packet(self, data):
        if self._muted or time.monotonic() < self._down_until:
            return
        with self._lock:
            self.count("packets")
            if self._delay > 0:
                time.sleep(self._delay)
            self.handle(data)

    # -- requests ----------------------------------------------------------------
    def handle(self, data):
        if not data:
            return
        command = data[0]
        if command == CMD_HEARTBEAT:
            if len(data) == 2:
                self.count("heartbeat_answers")
                if data[1] not in (2, 3):
                    self.count("heartbeat_bad")
            return
        if command == CMD_UPGRADE and len(data) > 1 and data[1] & FLAG_ACK == 0:
            self.upgrade.handle(data)
            return
        if command == CMD_INFO:
            self._info(data)
        elif command == CMD_DEBUG:
            self.emit(data[:self.config.reply_limit])
        elif command == CMD_I2C:
            self._i2c(data)
        elif command not in NON_UEI_COMMANDS or command == CMD_UPGRADE:
            self.count("uei")
            self._uei(data)

    def _info(self, data):
        if len(data) < 2:
            return
        sub = data[1]
        if sub == 0xFF:
            if self.config.build_reply:
                self.emit(bytes((CMD_INFO, 0xFF)) + u32(self.config.build))
        elif sub == 1 and len(data) >= 6:
            self.emit(bytes(data[:5]) + bytes((self._has_uei(*data[2:6]),)))
        elif sub == 4 and len(data) >= 3:
            entity = self.entities.get(data[2])
            self.emit(bytes(data[:3]) + bytes((entity.count if entity else 0,)))
        elif sub in (5, 6) and len(data) >= 4:
            self.emit(bytes(data[:4]) + bytes((0,)))

    def _has_uei(self, command, option, index, direction):
        entity = self.entities.get(command)
        if entity is None:
            return ERR_INVALID_ENTITY
        if index >= entity.count:
            return ERR_INDEX_RANGE
        spec = entity.options.get(option & 0x3F)
        if spec is None:
            return ERR_INVALID_OPTION
        if direction == FLAG_GET and spec.get is None:
            return ERR_INVALID_OPTION
        if direction == FLAG_SET and spec.set is None:
            return ERR_INVALID_OPTION
        if direction not in (0, FLAG_GET, FLAG_SET):
            return ERR_PARAM
        return ERR_NONE

    def _i2c(self, data):
        if len(data) < 4:
            return
        index, target = data[1], data[2]
        head = bytes((CMD_I2C, index, target))
        if len(data) == 4 and target == 1:
            self.event("i2c_pullup", enable=data[3])
            self.emit(head + bytes((data[3], ERR_NONE)))
            return
        length = data[3]
        present = self._bus_device_present(target & 0xFE)
        status = ERR_NONE if present and index == 0 else INDEX_ERROR | ERR_IO
        if target & 1:
            count = min(length, MAX_DATA - 5) if status == ERR_NONE else 0
            self.event("i2c_read", address=target & 0xFE, length=length, ok=status == ERR_NONE)
            self.emit(head + bytes((count, status)) + bytes(count))
        else:
            self.event("i2c_write", address=target, data=bytes(data[5:5 + length]),
                       ok=status == ERR_NONE)
            self.emit(head + bytes((0, status)))

    def _bus_device_present(self, address):
        if address == self.address:
            return False
        if address in self.config.i2c_devices:
            return True
        module = self.bus.get(address)
        return (module is not None and not module._muted
                and time.monotonic() >= module._down_until)

    def _uei(self, data):
        command = data[0]
        if len(data) < 3:
            return
        flags, option, index = data[1] & 0xC0, data[1] & 0x3F, data[2] & 0x1F
        if flags not in (FLAG_GET, FLAG_SET):
            return          # answers and stream samples are not requests
        answer = option if flags == FLAG_GET else option | FLAG_ACK
        entity = self.entities.get(command)
        spec = entity.options.get(option) if entity else None
        code = (ERR_INVALID_ENTITY if entity is None else
                ERR_INDEX_RANGE if index >= entity.count else
                ERR_INVALID_OPTION if spec is None else
                ERR_INVALID_OPTION if (spec.get if flags == FLAG_GET else spec.set) is None else
                ERR_NONE)
        if not code and command == CMD_SYSTEM:
            code = dict(self.config.refuse).get(option, ERR_NONE)
        if code:
            self._emit_error(command, answer, index, code)
            return
        try:
            if flags == FLAG_GET:
                self._uei_get(command, option, index, spec, data)
            else:
                self._uei_set(command, option, index, spec, data)
        except UEIError as err:
            self._emit_error(command, answer, index, err.code)

    def _uei_get(self, command, option, index, spec, data):
        subindex = data[3] if len(data) > 3 else 0
        value = spec.get(index, subindex)
        head = bytes((command, option, index))
        if spec.kind == "bytes":
            chunk = min(UEI_BYTES_CHUNK, self.config.reply_limit - 4)
            for packet in uei_bytes_packets(command, option, index, value, chunk):
                self.emit(packet)
            return
        size = VALUE_SIZES[spec.kind]
        self.emit(head + (value & (1 << 8 * size) - 1).to_bytes(size, "big") if size else head)

    def _uei_set(self, command, option, index, spec, data):
        key = (command, option, index)
        if spec.kind == "bytes":
            if len(data) < 4:
                raise UEIError(ERR_SHORT_COMMAND)
            trailer = data[-1]
            sequence, more = trailer & 0x7F, bool(trailer & 0x80)
            held = self._bytes_in.get(key)
            if held is not None and held[1] == sequence:
                pass            # next packet of a transfer (sequence wraps 127 -> 0)
            elif sequence == 0:
                held = [bytearray(), 0]
            else:
                self._bytes_in.pop(key, None)
                raise UEIError(ERR_PARAM)
            held[0] += data[3:-1]
            held[1] = (sequence + 1) & 0x7F
            if more:
                self._bytes_in[key] = held
                return
            self._bytes_in.pop(key, None)
            code = spec.set(index, 0, bytes(held[0]))
        else:
            offset = 4 if spec.subindexed else 3
            size = VALUE_SIZES[spec.set_kind or spec.kind]
            if len(data) < offset + size:
                raise UEIError(ERR_SHORT_COMMAND)
            if len(data) > offset + size:
                raise UEIError(ERR_SIZE)
            subindex = data[3] if spec.subindexed else 0
            code = spec.set(index, subindex, int.from_bytes(bytes(data[offset:]), "big"))
        if code is None:
            return          # the handler answers later, or never (link dropped)
        if code:
            raise UEIError(code)
        self.emit(bytes((command, option | FLAG_ACK, index)))

    # -- entities ------------------------------------------------------------------
    def _build_entities(self):
        cfg = self.config
        system = Entity()
        opts = system.options

        def const(kind, fn):
            return Option(kind, get=lambda i, s: fn())

        def stored(kind, key):
            def setter(i, s, v):
                self.values[key] = v
                return ERR_NONE
            return Option(kind, get=lambda i, s: self.values[key], set=setter)

        def call(fn):
            def setter(i, s, v):
                return fn()
            return Option("void", set=setter)

        def route_to_me(i, s, v):
            self.routing = bool(v)
            self.event("route_to_me", value=v)
            return ERR_NONE

        def set_router(i, s, v):
            self.config.router_address = v
            return ERR_NONE

        def set_name(i, s, v):
            if len(v) > 32:
                return ERR_SIZE
            self.config.name = v
            return ERR_NONE

        def set_power_config(i, s, v):
            if len(v) % 4:
                return ERR_SIZE
            self.values["power_config"] = v
            return ERR_NONE

        def identifier(i, s):
            words = cfg.identifier
            if words is None:
                raise UEIError(ERR_INVALID_OPTION)
            if s >= len(words):
                raise UEIError(ERR_INDEX_RANGE)
            return words[s]

        def reset():
            self.emit(bytes((CMD_SYSTEM, 11 | FLAG_ACK, 0)))
            self.reboot()
            return None

        def router_address():
            if cfg.router_address is not None:
                return cfg.router_address
            return self.router.address if self.router else self.address

        opts[1] = const("byte", lambda: self.address)
        opts[2] = Option("byte", get=lambda i, s: router_address(), set=set_router)
        opts[3] = stored("byte", "hb_interval")
        opts[4] = stored("byte", "led")
        opts[6] = stored("byte", "boot_slot")
        opts[7] = const("int", lambda: version_pack(*cfg.version))
        opts[8] = const("byte", lambda: cfg.model)
        opts[9] = const("int", lambda: cfg.serial)
        opts[10] = call(lambda: ERR_NONE)
        opts[11] = call(reset)
        opts[12] = const("int", lambda: 5000000)
        opts[13] = const("byte", lambda: 0)
        opts[14] = const("byte", lambda: self.address)
        opts[15] = stored("byte", "sw_offset")
        opts[16] = const("byte", lambda: router_address())
        opts[20] = Option("byte", set=route_to_me)
        opts[21] = const("int", lambda: 120000)
        opts[22] = const("int", lambda: int(time.monotonic() - self._started_at))
        for number, value in ((23, 45000000), (25, 5000000), (26, 120000), (27, 31000000),
                              (28, 18000000)):
            opts[number] = const("int", lambda value=value: value)
        opts[29] = const("byte", lambda: 1)
        opts[30] = stored("byte", "power_behavior")
        opts[31] = Option("bytes", get=lambda i, s: self.values["power_config"], set=set_power_config)
        opts[32] = Option("bytes", get=lambda i, s: cfg.name, set=set_name)
        opts[33] = const("int", lambda: 10000)
        opts[34] = stored("int", "power_limit_max")
        opts[35] = const("int", lambda: 0)
        opts[37] = call(lambda: ERR_NONE)
        opts[38] = stored("byte", "link_interface")
        opts[39] = Option("int", get=identifier, subindexed=True)
        opts[40] = const("int", lambda: cfg.hardware_version)
        opts[41] = const("int", lambda: 0)
        opts[42] = stored("byte", "led_max")
        opts[43] = const("int", lambda: cfg.build)
        opts[45] = const("int", lambda: cfg.features)

        store = Entity()
        for number in (0, 1, 2):
            store.options[number] = Option("int", set=lambda i, s, v: ERR_NONE)

        def subscribe(i, s, key):
            if (key >> 24) & 0xFF != self.address:
                return ERR_PARAM
            self.streams.add(key)
            self.event("stream", key=key, enable=True)
            return ERR_NONE

        def unsubscribe(i, s, key):
            self.streams = {k for k in self.streams if not self._covers(
                key, (k >> 16) & 0xFF, (k >> 8) & 0xFF, k & 0xFF)}
            self.event("stream", key=key, enable=False)
            return ERR_NONE

        stream = Entity()
        stream.options[1] = Option("byte", get=lambda i, s: int(bool(self.streams)), set=subscribe,
                                   set_kind="int")
        stream.options[2] = Option("int", set=unsubscribe)

        upgrade = Entity()
        if cfg.uei_data:
            upgrade.options[UP_DATA_UEI] = Option(
                "bytes", set=lambda i, s, v: self.upgrade.take_uei_data(v))

        return {CMD_SYSTEM: system, CMD_ENTITY_STORE: store, CMD_UPGRADE: upgrade,
                CMD_I2C: Entity(), CMD_STREAM: stream}


class Simulator:
    """Several modules (and their buses) started and stopped together."""

    def __init__(self, configs, discovery=False, discovery_interface="0.0.0.0"):
        self.modules = [SimModule(c) for c in configs]
        self.discovery = None
        if discovery:
            from sim_discovery import DiscoveryResponder
            self.discovery = DiscoveryResponder(self.tcp_modules, discovery_interface)

    def tcp_modules(self):
        return [m for m in self.modules if m.config.transport == "tcp"]

    def find(self, serial):
        for module in self.all_modules():
            if module.config.serial == serial:
                return module
        raise KeyError("%08X" % serial)

    def all_modules(self):
        for module in self.modules:
            yield module
            yield from module.bus.values()

    def start(self):
        try:
            for module in self.modules:
                module.start()
            if self.discovery is not None:
                self.discovery.start()
        except Exception:
            for module in self.modules:
                module.stop()       # also removes the flash files nobody named
            raise
        return self

    def stop(self):
        if self.discovery is not None:
            self.discovery.stop()
        for module in self.modules:
            module.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def info(self):
        return {"modules": [m.info() for m in self.modules],
                "discovery": self.discovery.info() if self.discovery else None}


# -- command line -----------------------------------------------------------------

def _hex(text):
    return int(text, 16)


def _int(text):
    return int(text, 0)


def _version(text):
    parts = tuple(int(p) for p in text.split("."))
    if len(parts) != 3:
        raise ValueError("version must be MAJOR.MINOR.PATCH")
    return parts


def _bool(text):
    if text.lower() in ("1", "true", "yes", "on", ""):
        return True
    if text.lower() in ("0", "false", "no", "off"):
        return False
    raise ValueError("not a boolean: %r" % text)


def _words(text):
    return tuple(int(w, 16) for w in text.split(":"))


def _refusal(text):
    option, _, code = text.partition(":")
    return int(option, 0), int(code, 0) if code else ERR_MODE


def _transport(text):
    return None if text in ("", "none") else text


OPTION_PARSERS = {
    "serial": _hex, "transport": _transport, "address": _int, "host": str, "port": int,
    "device_dir": str, "model": _int, "version": _version, "build": int,
    "name": lambda t: t.encode(), "hardware_version": _int, "router_address": _int,
    "heartbeat": float, "features": _int, "uei_data": _bool, "identifier": _words,
    "reply_limit": int, "load_base": _int, "piece_size": _int, "flash_file": str,
    "flash_base": _int, "flash_size": _int, "in_loader": _bool, "reboot_delay": float,
    "reenumerate": _bool, "reenumerate_delay": float,
    "load_reply_first": _bool, "reenumerate_after": float, "new_version": _version, "new_build": int,
    "new_serial": _hex,
    "mute": _bool, "delay": float, "mute_after": int, "drop_after": int,
    "garbage_interval": float, "stream_interval": float, "route_mode": str,
    "build_reply": _bool,
}
HELP = {
    "serial": "serial number, hex (required for the single module)",
    "transport": "tcp | serial | usbnode (default tcp)",
    "address": "module address, even (default 2)",
    "host": "TCP address to listen on (default 127.0.0.1)",
    "port": "TCP port, 0 picks a free one (default 0)",
    "device_dir": "usbnode directory (default $TESSALINE_DEVICE_DIR)",
    "version": "firmware version MAJOR.MINOR.PATCH (default 2.12.0)",
    "name": "device name (default SimModule)",
    "heartbeat": "seconds between heartbeats, 0 = none (default 0.5)",
    "features": "protocol features word; bit 31 offers pooled packets",
    "uei_data": "takes upgrade data as a bytes value, option 10 (default true)",
    "identifier": "four hex words W0:W1:W2:W3 for option 39",
    "reply_limit": "largest packet the module sends, data bytes (default 28)",
    "piece_size": "piece size answered to PREPARE (default 256)",
    "flash_file": "file holding the flash (default: a temporary file)",
    "in_loader": "start in the loader, as a recovery loader does",
    "reenumerate": "leave the bus after LOAD (default: usbnode only)",
    "load_reply_first": "when leaving after LOAD, answer it first (default: answer "
                        "on the new link after the host's route-on)",
    "reenumerate_after": "seconds from LOAD to leaving the bus (default 0.2 with "
                         "load_reply_first, else 0.05)",
    "new_version": "version after an upgrade and reboot",
    "new_build": "build after an upgrade and reboot",
    "new_serial": "serial number after an upgrade and reboot, hex",
    "mute": "never answer", "delay": "seconds to wait before each answer",
    "mute_after": "stop answering after N packets", "drop_after": "drop the link at packet N",
    "garbage_interval": "send random bytes every N seconds",
    "route_mode": "router passes bus traffic: strict = after routeToMe(1) until "
                  "routeToMe(0) (default); link = also on the host's route packets; always",
    "build_reply": "answers the build request 0x49 0xFF (default true)",
}
LIST_OPTIONS = {"fault": ("faults", Fault.parse), "i2c_device": ("i2c_devices", _int),
                "refuse": ("refuse", _refusal)}
assert set(OPTION_PARSERS) | {"faults", "bus", "i2c_devices", "refuse"} == {f.name for f in fields(ModuleConfig)}


def config_from_pairs(pairs):
    """ModuleConfig from (key, text) pairs; keys may use dashes. Also 'router'."""
    values = {"faults": [], "i2c_devices": [], "refuse": []}
    router = None
    for key, text in pairs:
        key = key.replace("-", "_")
        if key == "router":
            router = _hex(text)
        elif key in LIST_OPTIONS:
            name, parse = LIST_OPTIONS[key]
            values[name].append(parse(text))
        elif key in OPTION_PARSERS:
            values[key] = OPTION_PARSERS[key](text)
        else:
            raise ValueError("unknown module option %r" % key)
    if "serial" not in values:
        raise ValueError("a module needs serial=HEX")
    if router is not None:
        values.setdefault("transport", None)
    return ModuleConfig(**values), router


def parse_module_spec(spec):
    pairs = []
    for item in filter(None, spec.split(",")):
        key, _, text = item.partition("=")
        pairs.append((key.strip(), text.strip()))
    return config_from_pairs(pairs)


def build_configs(args):
    entries = []
    if args.serial is not None:
        pairs = []
        for key in OPTION_PARSERS:
            text = getattr(args, key)
            if text is not None:
                pairs.append((key, text))
        for key in LIST_OPTIONS:
            pairs += [(key, t) for t in getattr(args, key) or []]
        entries.append(config_from_pairs(pairs))
    for spec in args.module or []:
        entries.append(parse_module_spec(spec))
    for spec in args.bus_module or []:
        if args.serial is None:
            raise ValueError("--bus-module needs --serial (the router)")
        config, _ = parse_module_spec(spec)
        config.transport = None
        entries.append((config, int(args.serial, 16)))
    tops = {c.serial: c for c, router in entries if router is None}
    for config, router in entries:
        if router is not None:
            if router not in tops:
                raise ValueError("router %08X is not a module with a transport" % router)
            tops[router].bus.append(config)
    if not tops:
        raise ValueError("no module given (use --serial or --module)")
    return list(tops.values())


def make_parser():
    parser = argparse.ArgumentParser(description="Simulated Tessaline module(s).")
    for key in OPTION_PARSERS:
        parser.add_argument("--" + key.replace("_", "-"), dest=key, metavar="VALUE",
                            help=HELP.get(key))
    parser.add_argument("--fault", action="append", metavar="KIND[@N][xK]",
                        help="upgrade fault, repeatable (see sim_upgrade.py)")
    parser.add_argument("--i2c-device", dest="i2c_device", action="append", metavar="ADDR")
    parser.add_argument("--refuse", action="append", metavar="OPTION[:CODE]",
                        help="system option answered with an error (default code 7), repeatable")
    parser.add_argument("--module", action="append", metavar="KEY=VALUE,...",
                        help="one more module; keys are the long options without dashes; "
                             "router=SERIAL puts it on that module's I2C bus")
    parser.add_argument("--bus-module", action="append", metavar="KEY=VALUE,...",
                        help="a module on the I2C bus of the --serial module")
    parser.add_argument("--discovery", action="store_true",
                        help="answer TCP/IP discovery queries (only inside a test namespace)")
    parser.add_argument("--discovery-interface", default="0.0.0.0")
    return parser


def _control(sim, line):
    words = line.split()
    if not words:
        return None
    verb = words[0]
    if verb == "quit":
        return {"ok": True, "quit": True}
    module = sim.find(int(words[1], 16))
    arg = words[2] if len(words) > 2 else None
    if verb == "status":
        return {"ok": True, "status": module.status()}
    if verb == "mute":
        module.mute(arg != "off")
    elif verb == "delay":
        module.set_delay(float(arg))
    elif verb == "garbage":
        count = int(arg or 16)
        module.send_garbage(bytes(random.choice((1, 3, 5, 0xFF)) for _ in range(count)))
    elif verb == "drop":
        module.drop()
    elif verb == "away":
        module.go_away(float(arg))
    elif verb == "reboot":
        module.reboot()
    else:
        return {"ok": False, "error": "unknown command %r" % verb}
    return {"ok": True}


def main(argv=None):
    args = make_parser().parse_args(argv)
    try:
        configs = build_configs(args)
    except ValueError as err:
        print("sim_module: %s" % err, file=sys.stderr)
        return 2
    done = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: done.set())
    sim = Simulator(configs, args.discovery, args.discovery_interface)
    try:
        sim.start()
    except (OSError, ValueError) as err:
        print("sim_module: cannot start: %s" % err, file=sys.stderr)
        return 2
    try:
        print("READY " + json.dumps(sim.info()), flush=True)

        def read_commands():
            for line in sys.stdin:
                try:
                    reply = _control(sim, line)
                except (KeyError, ValueError, IndexError) as err:
                    reply = {"ok": False, "error": str(err)}
                if reply is not None:
                    print(json.dumps(reply), flush=True)
                    if reply.get("quit"):
                        done.set()
                        return

        threading.Thread(target=read_commands, daemon=True).start()
        while not done.wait(0.5):
            pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
