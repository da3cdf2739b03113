"""Minimal host side of the link, used to test the simulated module.

    with SimClient.tcp("127.0.0.1", port) as c:
        c.send(0xAD)                          # announce request
        address, data = c.expect(lambda a, d: d == b"", 1.0)
        serial = c.get(address, 3, 9, "int")  # system entity, serial number

A reader thread files every packet; heartbeats are answered (and counted)
unless `answer_heartbeats` is False. Every wait is bounded.
"""

import os
import select
import socket
import threading
import time
import tty

from sim_protocol import (FLAG_ACK, FLAG_GET, FLAG_SET, INDEX_ERROR, INDEX_REQUEST, FrameDecoder,
                          PacketAssembler, frame, packet_bytes, uei_bytes_packets)

SIZES = {"void": 0, "byte": 1, "short": 2, "int": 4}


class ErrorAnswer(Exception):
    def __init__(self, code):
        super().__init__("module answered error %d" % code)
        self.code = code


class SimClient:
    def __init__(self, reader, writer, closer, framed=False, answer_heartbeats=True):
        self._read = reader
        self._write = writer
        self._close = closer
        self.framed = framed
        self.answer_heartbeats = answer_heartbeats
        self.heartbeats = []
        self.closed_by_peer = False
        self._decoder = FrameDecoder() if framed else PacketAssembler()
        self._packets = []
        self._cond = threading.Condition()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    # -- constructors ------------------------------------------------------------
    @classmethod
    def tcp(cls, host, port, **kw):
        sock = socket.create_connection((host, port), timeout=2)
        sock.settimeout(0.1)

        def read():
            try:
                data = sock.recv(4096)
            except socket.timeout:
                return b""
            if not data:
                raise EOFError
            return data
        return cls(read, sock.sendall, sock.close, **kw)

    @classmethod
    def tty(cls, path, framed, **kw):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)

        def read():
            readable, _, _ = select.select([fd], [], [], 0.1)
            if not readable:
                return b""
            data = os.read(fd, 4096)
            if not data:
                raise EOFError
            return data

        def write(data):
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        return cls(read, write, lambda: os.close(fd), framed=framed, **kw)

    @classmethod
    def serial(cls, path, **kw):
        return cls.tty(path, True, **kw)

    @classmethod
    def node(cls, path, **kw):
        return cls.tty(path, False, **kw)

    @classmethod
    def connect(cls, info, **kw):
        """Connects to a module by the description it prints in its READY line."""
        if info["transport"] == "tcp":
            return cls.tcp(info["host"], info["port"], **kw)
        if info["transport"] == "serial":
            return cls.serial(info["path"], **kw)
        return cls.node(info["node"], **kw)

    def close(self):
        self._stop.set()
        self._thread.join(2)
        try:
            self._close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- packets --------------------------------------------------------------------
    def _run(self):
        while not self._stop.is_set():
            try:
                chunk = self._read()
            except (EOFError, OSError):
                with self._cond:
                    self.closed_by_peer = True
                    self._cond.notify_all()
                return
            if not chunk:
                continue
            for address, data in self._decoder.feed(chunk):
                if len(data) == 2 and data[0] == 0:
                    self.heartbeats.append((address, data[1]))
                    if self.answer_heartbeats:
                        try:
                            self.send(address, bytes((0, data[1] + 2)))
                        except OSError:
                            pass        # the next read reports the closed link
                    continue
                with self._cond:
                    self._packets.append((address, data))
                    self._cond.notify_all()

    def send(self, address, data=b""):
        wire = packet_bytes(address, data)
        self._write(frame(wire) if self.framed else wire)

    def send_raw(self, data):
        self._write(bytes(data))

    def expect(self, match, timeout=1.0):
        """Takes the first queued packet for which match(address, data) holds."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i, (address, data) in enumerate(self._packets):
                    if match(address, data):
                        del self._packets[i]
                        return address, data
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("no matching packet within %.1f s" % timeout)
                self._cond.wait(left)

    def pending(self):
        with self._cond:
            return list(self._packets)

    def drain(self):
        with self._cond:
            packets, self._packets = self._packets, []
        return packets

    def wait_closed(self, timeout):
        with self._cond:
            return self._cond.wait_for(lambda: self.closed_by_peer, timeout)

    # -- exchanges --------------------------------------------------------------------
    def announce(self, timeout=1.0):
        """The module's address, from its answer to an empty packet to 0xAD."""
        self.send(0xAD)
        return self.expect(lambda a, d: d == b"", timeout)[0]

    def request(self, address, data, prefix, timeout=1.0):
        """Raw exchange: sends data, returns the first answer starting with prefix."""
        self.send(address, data)
        prefix = bytes(prefix)
        return self.expect(lambda a, d: a == address and d[:len(prefix)] == prefix, timeout)[1]

    def _uei_answer(self, address, command, option_byte, index, timeout):
        def match(a, d):
            return (a == address and len(d) > 2 and d[0] == command and d[1] == option_byte
                    and d[2] & 0x1F == index)
        _, data = self.expect(match, timeout)
        if data[2] & INDEX_ERROR:
            raise ErrorAnswer(data[3])
        return data

    def get(self, address, command, option, kind="int", index=0, subindex=None, timeout=1.0):
        request = bytes((command, option | FLAG_GET, index | INDEX_REQUEST))
        if subindex is not None:
            request += bytes((subindex,))
        self.send(address, request)
        if kind == "bytes":
            return self._get_bytes(address, command, option, index, timeout)
        data = self._uei_answer(address, command, option, index, timeout)
        value = data[3:]
        if len(value) != SIZES[kind]:
            raise ValueError("answer of %d value bytes, wanted %s" % (len(value), kind))
        return int.from_bytes(value, "big")

    def _get_bytes(self, address, command, option, index, timeout):
        out = bytearray()
        sequence = 0
        while True:
            data = self._uei_answer(address, command, option, index, timeout)
            if data[-1] & 0x7F != sequence:
                raise ValueError("sequence %d, wanted %d" % (data[-1] & 0x7F, sequence))
            out += data[3:-1]
            if not data[-1] & 0x80:
                return bytes(out)
            sequence = (sequence + 1) & 0x7F

    def set(self, address, command, option, value=0, kind="int", index=0, subindex=None,
            timeout=1.0):
        head = (command, option | FLAG_SET, index | INDEX_REQUEST)
        if kind == "bytes":
            for data in uei_bytes_packets(*head, value):
                self.send(address, data)
        else:
            data = bytes(head) + (bytes((subindex,)) if subindex is not None else b"")
            size = SIZES[kind]
            self.send(address, data + (value.to_bytes(size, "big") if size else b""))
        self._uei_answer(address, command, option | FLAG_ACK, index, timeout)

    def call(self, address, command, option, index=0, timeout=1.0):
        self.set(address, command, option, kind="void", index=index, timeout=timeout)
