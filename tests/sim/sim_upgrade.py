"""Module side of the upgrade command (0x5F) with a file-backed flash.

Requests (data bytes after 0x5F) and answers:
  0 INIT                  -> 5F 00 <load base u32>
  3 PREPARE flags addr32  -> 5F 07 status <piece size u16>   (resets sum/piece)
  1 DATA bytes...         -> 5F 01 <count accepted>
  4 SUM                   -> 5F 07 status <sum u32>          (sum restarts)
  5 WRITE len16           -> 5F 07 status                    (piece -> flash)
  2 LOAD                  -> 5F 02                           (loader runs; a
                             module that re-enumerates answers on its new link
                             after the host's route-on, or first and then
                             leaves with load_reply_first)
  6 REBOOT                -> no answer; the module leaves the link and comes
                             back running the new firmware
Option 10 of entity 0x5F takes a run of image bytes as one UEI bytes value.

Before LOAD the module runs its application: PREPARE opens a loader block and
DATA fills it (kept in `loader_blocks`). Once the loader runs, PREPARE sets
the flash address, DATA collects one piece, WRITE commits it.

Faults are requests that go wrong on purpose, counted per request kind from 1:
  wrong_count@N      DATA packet N is answered with a wrong count, data dropped
  disconnect_data@N  the link drops when DATA packet N arrives (no answer)
  bad_sum@N          SUM N reports a sum off by one
  write_fail@N       WRITE N answers a non-zero status, nothing written
  no_load_reply@N    LOAD N is not answered until the host's next route-on
  prepare_timeout@N  PREPARE N is not answered
  prepare_fail@N     PREPARE N answers a non-zero status
A suffix xK makes K consecutive requests fail (x0: every one from N on).
"""

import os
import re
import threading
from dataclasses import dataclass

from sim_protocol import (CMD_UPGRADE, ERR_NONE, UP_DATA, UP_INIT, UP_LOAD, UP_PREPARE,
                          UP_REBOOT, UP_STATUS, UP_SUM, UP_WRITE, get_u16, get_u32, u16, u32)

FAULT_KINDS = {
    "wrong_count": "data",
    "disconnect_data": "data",
    "bad_sum": "sum",
    "write_fail": "write",
    "no_load_reply": "load",
    "prepare_timeout": "prepare",
    "prepare_fail": "prepare",
}

STATUS_FAILED = 1


@dataclass
class Fault:
    kind: str
    at: int = 1
    times: int = 1

    def __post_init__(self):
        if self.kind not in FAULT_KINDS:
            raise ValueError("unknown fault %r (known: %s)" % (self.kind, ", ".join(sorted(FAULT_KINDS))))
        if self.at < 1 or self.times < 0:
            raise ValueError("fault occurrence counts from 1")

    @classmethod
    def parse(cls, text):
        match = re.fullmatch(r"([a-z_]+)(?:@(\d+))?(?:x(\d+))?", text.strip())
        if not match:
            raise ValueError("fault must look like kind[@N][xK]: %r" % text)
        kind, at, times = match.groups()
        return cls(kind, int(at or 1), int(times if times is not None else 1))

    def fires(self, number):
        if number < self.at:
            return False
        return self.times == 0 or number < self.at + self.times


class Flash:
    """Flash memory kept in a file: erased bytes are 0xFF."""

    def __init__(self, path, base=0, size=0x100000):
        self.path = path
        self.base = base
        self.size = size
        self.writes = []
        self._lock = threading.Lock()
        with open(path, "wb") as f:
            f.write(b"\xff" * size)

    def contains(self, address, length=0):
        return self.base <= address and address + length <= self.base + self.size

    def write(self, address, data):
        if not self.contains(address, len(data)):
            return False
        with self._lock, open(self.path, "r+b") as f:
            f.seek(address - self.base)
            f.write(data)
        self.writes.append((address, len(data)))
        return True

    def read(self, address, length):
        with self._lock, open(self.path, "rb") as f:
            f.seek(address - self.base)
            return f.read(length)


class UpgradeEngine:
    def __init__(self, module):
        self.module = module
        cfg = module.config
        self.faults = list(cfg.faults)
        flash_path = cfg.flash_file or os.path.join(module.workdir(), "flash-%08X.bin" % cfg.serial)
        self.flash = Flash(flash_path, cfg.flash_base, cfg.flash_size)
        self.in_loader = cfg.in_loader
        self.counts = {kind: 0 for kind in set(FAULT_KINDS.values())}
        self.loader_blocks = []
        self.pending_load_reply = False
        self.sums = []
        self._reset_transfer()

    def _reset_transfer(self):
        self.write_address = None
        self.piece = bytearray()
        self.sum = 0
        self._block = None

    def _fault(self, kind):
        """True when a fault of `kind` hits the current request."""
        group = FAULT_KINDS[kind]
        return any(f.kind == kind and f.fires(self.counts[group]) for f in self.faults)

    def _reply(self, option, payload=b""):
        self.module.emit(bytes((CMD_UPGRADE, option)) + bytes(payload))

    # -- requests ------------------------------------------------------------
    def handle(self, data):
        if len(data) < 2:
            return
        option = data[1]
        handler = {
            UP_INIT: self._init, UP_DATA: self._data, UP_LOAD: self._load,
            UP_PREPARE: self._prepare, UP_SUM: self._sum, UP_WRITE: self._write,
            UP_REBOOT: self._reboot,
        }.get(option)
        if handler is not None:
            self.module.event("upgrade", request=option, length=len(data))
            handler(data)

    def _init(self, data):
        self.loader_blocks = []
        self._reset_transfer()
        self._reply(UP_INIT, u32(self.module.config.load_base))

    def _prepare(self, data):
        self.counts["prepare"] += 1
        if len(data) < 7:
            self._reply(UP_STATUS, bytes((STATUS_FAILED,)) + u16(0))
            return
        flags, address = data[2], get_u32(data, 3)
        self._reset_transfer()
        if self._fault("prepare_timeout"):
            return
        status = ERR_NONE
        if self.in_loader:
            if not self.flash.contains(address):
                status = STATUS_FAILED
            self.write_address = address
        else:
            self._block = {"address": address, "flags": flags, "data": bytearray()}
            self.loader_blocks.append(self._block)
        if self._fault("prepare_fail"):
            status = STATUS_FAILED
        self._reply(UP_STATUS, bytes((status,)) + u16(self.module.config.piece_size))

    def _take(self, chunk):
        if self.in_loader:
            self.piece += chunk
        else:
            if self._block is None:
                self._block = {"address": None, "flags": 0, "data": bytearray()}
                self.loader_blocks.append(self._block)
            self._block["data"] += chunk
        self.sum = (self.sum + sum(chunk)) & 0xFFFFFFFF

    def _data(self, data):
        self.counts["data"] += 1
        chunk = bytes(data[2:])
        if self._fault("disconnect_data"):
            self.module.event("fault", fault="disconnect_data")
            self.module.transport_drop()
            return
        if self._fault("wrong_count"):
            self._reply(UP_DATA, bytes(((len(chunk) - 1) & 0xFF,)))
            return
        self._take(chunk)
        self._reply(UP_DATA, bytes((len(chunk),)))

    def take_uei_data(self, value):
        """Option 10: one run of image bytes as a bytes value."""
        self.counts["data"] += 1
        if self._fault("disconnect_data"):
            self.module.transport_drop()
            return None
        self._take(bytes(value))
        return ERR_NONE

    def _sum(self, data):
        self.counts["sum"] += 1
        reported = self.sum
        if self._fault("bad_sum"):
            reported = (reported + 1) & 0xFFFFFFFF
        self.sums.append(self.sum)
        self.sum = 0
        self._reply(UP_STATUS, bytes((ERR_NONE,)) + u32(reported))

    def _write(self, data):
        self.counts["write"] += 1
        length = get_u16(data, 2) if len(data) >= 4 else -1
        piece, self.piece = bytes(self.piece), bytearray()
        status = STATUS_FAILED
        if (self.in_loader and self.write_address is not None and length == len(piece)
                and not self._fault("write_fail") and self.flash.write(self.write_address, piece)):
            self.write_address += length
            status = ERR_NONE
        self._reply(UP_STATUS, bytes((status,)))

    def _load(self, data):
        self.counts["load"] += 1
        self.in_loader = True
        self._reset_transfer()
        # A module that leaves the bus to start its loader answers on the new
        # link (the host reconnects once), unless told to answer first.
        leaving = self.module.reenumerates() and not self.module.config.load_reply_first
        if leaving or self._fault("no_load_reply"):
            self.pending_load_reply = True
        else:
            self._reply(UP_LOAD)
        self.module.loader_started()

    def route_on(self):
        """The host (re)started its link: a held-back LOAD answer goes out."""
        if self.pending_load_reply:
            self.pending_load_reply = False
            self._reply(UP_LOAD)

    def _reboot(self, data):
        self.in_loader = False
        self._reset_transfer()
        self.module.reboot(upgraded=True)

    def status(self):
        return {
            "in_loader": self.in_loader,
            "counts": dict(self.counts),
            "flash_file": self.flash.path,
            "flash_writes": list(self.flash.writes),
            "sums": list(self.sums),
            "loader_blocks": [{"address": b["address"], "flags": b["flags"], "length": len(b["data"])}
                              for b in self.loader_blocks],
        }


__all__ = ["Fault", "Flash", "UpgradeEngine", "FAULT_KINDS"]
