"""Answers the TCP/IP discovery query for simulated TCP modules.

Query: 16 bytes to 232.2.2.2 port 9888, byte 0 = 1, the rest 0.
Reply: 16 bytes to the querying host's port 9889:
    0 unused | 1 module address | 2-3 TCP port (LE) | 4-7 serial (LE) |
    8-11 unused | 12 model | 13-15 unused

Multicast must never leave the machine: start a responder only inside a
network namespace a test created (see netns.py).
"""

import socket
import struct
import threading

GROUP = "232.2.2.2"
QUERY_PORT = 9888
REPLY_PORT = 9889


def reply_bytes(address, port, serial, model):
    return (bytes((0, address)) + struct.pack("<HI", port, serial) + bytes(4)
            + bytes((model & 0xFF, 0, 0, 0)))


class DiscoveryResponder:
    """`modules` is a callable giving the SimModules (TCP) to announce."""

    def __init__(self, modules, interface="0.0.0.0", reply_length=16):
        self.modules = modules
        self.interface = interface
        self.reply_length = reply_length
        self.queries = 0
        self.muted = False
        self._sock = None
        self._stop = threading.Event()
        self._thread = None

    def info(self):
        return {"group": GROUP, "port": QUERY_PORT, "interface": self.interface}

    def start(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("", QUERY_PORT))
        membership = socket.inet_aton(GROUP) + socket.inet_aton(self.interface)
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        sock.settimeout(0.2)
        self._sock = sock
        self._thread = threading.Thread(target=self._run, name="discovery", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
            self._thread = None
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _run(self):
        while not self._stop.is_set():
            try:
                data, (host, _) = self._sock.recvfrom(64)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data or data[0] != 1:
                continue
            self.queries += 1
            if self.muted:
                continue
            for module in self.modules():
                transport = module.transport
                if module._muted or transport is None or transport.down:
                    continue
                reply = reply_bytes(module.address, transport.port, module.config.serial,
                                    module.config.model)[:self.reply_length]
                try:
                    self._sock.sendto(reply, (host, REPLY_PORT))
                except OSError:
                    pass
