"""Byte transports of a simulated module.

Every transport turns incoming bytes into packets for the module
(`on_packet(address, data)`) and carries the module's packets out
(`send(wire)`). Three kinds:

  TcpTransport      TCP server, packets unframed. One host session at a time:
                    a new connection replaces the old one, as a module with a
                    single connection slot freed by the host's reset does.
  SerialTransport   pseudo-terminal; each packet is one COBS + CRC-8 frame.
                    The host opens the pty slave path like a serial port.
  UsbNodeTransport  pseudo-terminal published as <dir>/tessaline.%08X (a
                    symlink to the slave), packets unframed, as the kernel
                    driver's character device would carry them. The slave is
                    raw with a 100 ms read timeout (VMIN 0, VTIME 1), so an
                    idle read returns no byte instead of blocking. Leaving the
                    bus removes the link and hangs the pty up (reads on an old
                    descriptor then see end of file, writes fail with EIO).

All waits are bounded; all threads are joined by stop().
"""

import os
import select
import socket
import struct
import termios
import threading
import time
import traceback
import tty

from sim_protocol import FrameDecoder, PacketAssembler, frame

POLL = 0.1
WRITE_TIMEOUT = 1.0


class Transport:
    kind = "none"

    def __init__(self, name="sim"):
        self.name = name
        self.on_packet = lambda address, data: None
        self.on_session = lambda active: None
        self.framing_errors = 0
        self.handler_errors = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None
        self._down_until = 0.0
        self._active = False

    # -- life cycle -------------------------------------------------------
    def start(self):
        self._open()
        self._thread = threading.Thread(target=self._run, name="%s-%s" % (self.kind, self.name),
                                        daemon=True)
        self._thread.start()
        return self.info()

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
            self._thread = None
        self._close()

    def info(self):
        return {"transport": self.kind}

    @property
    def active(self):
        """True while a host session can receive what the module sends."""
        return self._active and not self.down

    @property
    def down(self):
        return time.monotonic() < self._down_until

    def _set_active(self, value):
        if value != self._active:
            self._active = value
            self.on_session(value)

    def _deliver(self, packets):
        for address, data in packets:
            try:
                self.on_packet(address, data)
            except Exception:       # a handler bug must not end the link thread
                self.handler_errors += 1
                traceback.print_exc()

    # -- sending -----------------------------------------------------------
    def send(self, wire):
        """Sends one packet's wire bytes; False when nobody can receive them."""
        return self.send_raw(wire)

    def send_raw(self, data):
        raise NotImplementedError

    # -- misbehaviour ------------------------------------------------------
    def drop(self):
        """Ends the current host session at once."""
        self.go_away(0)

    def go_away(self, seconds, after=0.0):
        """Leaves the link for `seconds` (reboot, re-enumeration), then returns.

        `after` delays the departure so that a last answer can be read first.
        """
        raise NotImplementedError

    # -- to implement ------------------------------------------------------
    def _open(self):
        raise NotImplementedError

    def _close(self):
        raise NotImplementedError

    def _run(self):
        raise NotImplementedError


class TcpTransport(Transport):
    kind = "tcp"

    def __init__(self, host="127.0.0.1", port=0, name="sim"):
        super().__init__(name)
        self.host = host
        self.port = port
        self.connections = 0
        self._listener = None
        self._conn = None
        self._assembler = None
        self._away = None

    def info(self):
        return {"transport": self.kind, "host": self.host, "port": self.port}

    @property
    def listening(self):
        return self._listener is not None

    def _open(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((self.host, self.port))
            listener.listen(4)
        except OSError:
            listener.close()
            raise
        self._listener = listener
        self.port = listener.getsockname()[1]

    def _close(self):
        self._reset_conn()
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    @staticmethod
    def _hard_close(conn):
        try:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        conn.close()

    def _reset_conn(self):
        with self._lock:
            conn, self._conn = self._conn, None
        if conn is not None:
            self._hard_close(conn)
            self._set_active(False)

    def _run(self):
        while not self._stop.is_set():
            self._housekeeping()
            watched = [s for s in (self._listener, self._conn) if s is not None]
            if not watched:
                self._stop.wait(POLL / 2)
                continue
            try:
                readable, _, _ = select.select(watched, [], [], POLL)
            except (OSError, ValueError):
                continue
            if self._listener is not None and self._listener in readable:
                self._accept()
            conn = self._conn
            if conn is not None and conn in readable:
                try:
                    chunk = conn.recv(4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    self._reset_conn()
                    continue
                if self.down:
                    continue
                self._deliver(self._assembler.feed(chunk))
                self.framing_errors = self._assembler.errors

    def _accept(self):
        try:
            conn, _ = self._listener.accept()
        except OSError:
            return
        if self.down:
            self._hard_close(conn)
            return
        self._reset_conn()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(WRITE_TIMEOUT)
        with self._lock:
            self._conn = conn
            self._assembler = PacketAssembler()
            self.connections += 1
        self._set_active(True)

    def send_raw(self, data):
        with self._lock:
            conn = self._conn
            if conn is None or self.down:
                return False
            try:
                conn.sendall(data)
                return True
            except OSError:
                return False

    def go_away(self, seconds, after=0.0):
        if after <= 0:
            self._down_until = time.monotonic() + seconds
            self._reset_conn()
        else:
            self._away = (time.monotonic() + after, seconds)

    def _housekeeping(self):
        away = self._away
        if away is not None and time.monotonic() >= away[0]:
            self._away = None
            self.go_away(away[1])
        # While away the port refuses connections, as a rebooting module's does.
        if self.down and self._listener is not None:
            self._listener.close()
            self._listener = None
        elif not self.down and self._listener is None:
            try:
                self._open()
            except OSError:
                self._stop.wait(POLL)


class _PtyTransport(Transport):
    """A pseudo-terminal whose slave side the host opens.

    Descriptors are opened and closed only on the transport's own thread (or
    after it has been joined), so no descriptor number is reused under a
    pending select.
    """

    def __init__(self, name="sim"):
        super().__init__(name)
        self._master = None
        self._slave = None
        self.path = None
        self._away_at = None
        self._away_for = 0.0
        self._return_at = None

    def _make_pty(self):
        master, slave = os.openpty()
        tty.setraw(slave)
        self._tune_slave(slave)
        os.set_blocking(master, False)
        # The slave stays open here: without any slave descriptor the master
        # reports EIO on every read and a select loop would spin.
        with self._lock:
            self.path = os.ttyname(slave)
            self._master, self._slave = master, slave
        self._new_decoder()

    def _tune_slave(self, slave):
        pass

    def _new_decoder(self):
        raise NotImplementedError

    def _decode(self, chunk):
        raise NotImplementedError

    def _drop_pty(self):
        with self._lock:
            master, slave = self._master, self._slave
            self._master = self._slave = None
        for fd in (master, slave):
            if fd is not None:
                os.close(fd)
        self._set_active(False)

    def _open(self):
        self._make_pty()

    def _close(self):
        self._drop_pty()

    def go_away(self, seconds, after=0.0):
        """Leaves after `after` seconds (so a last answer can be read first)."""
        self._away_for = seconds
        self._away_at = time.monotonic() + after

    def _leave(self):
        self._drop_pty()

    def _come_back(self):
        self._make_pty()

    def _housekeeping(self):
        now = time.monotonic()
        if self._away_at is not None and now >= self._away_at:
            self._away_at = None
            self._leave()
            self._return_at = now + self._away_for
        if self._return_at is not None and now >= self._return_at and self._master is None:
            self._return_at = None
            self._come_back()

    def _run(self):
        while not self._stop.is_set():
            self._housekeeping()
            master = self._master
            if master is None:
                self._stop.wait(POLL / 2)
                continue
            timeout = POLL / 2 if (self._away_at or self._return_at) else POLL
            try:
                readable, _, _ = select.select([master], [], [], timeout)
            except (OSError, ValueError):
                continue
            if not readable:
                continue
            try:
                chunk = os.read(master, 4096)
            except BlockingIOError:
                continue
            except OSError:
                self._stop.wait(POLL)
                continue
            if self.down or not chunk:
                continue
            self._set_active(True)
            self._deliver(self._decode(chunk))

    def send_raw(self, data):
        deadline = time.monotonic() + WRITE_TIMEOUT
        with self._lock:
            master = self._master
            if master is None or self.down:
                return False
            view = memoryview(bytes(data))
            while view:
                try:
                    count = os.write(master, view)
                    view = view[count:]
                except BlockingIOError:
                    # Nobody drains the slave: give up after a bound, as a
                    # module's full transmit buffer would.
                    left = deadline - time.monotonic()
                    if left <= 0:
                        return False
                    select.select([], [master], [], min(left, POLL))
                except OSError:
                    return False
            return True


class SerialTransport(_PtyTransport):
    kind = "serial"

    def info(self):
        return {"transport": self.kind, "path": self.path}

    def _new_decoder(self):
        self._decoder = FrameDecoder()

    def _decode(self, chunk):
        packets = self._decoder.feed(chunk)
        self.framing_errors = self._decoder.bad_frames
        return packets

    def send(self, wire):
        return self.send_raw(frame(wire))

    def drop(self):
        self.go_away(0.5)

    def go_away(self, seconds, after=0.0):
        # A serial line cannot vanish: the module stops listening and talking
        # for a while and forgets any half-received frame.
        self._down_until = time.monotonic() + after + seconds
        self._new_decoder()
        self._set_active(False)


class UsbNodeTransport(_PtyTransport):
    kind = "usbnode"

    def __init__(self, serial, directory=None, name="sim"):
        super().__init__(name)
        self.serial = serial
        self.directory = directory or os.environ.get("TESSALINE_DEVICE_DIR")
        if not self.directory:
            raise ValueError("usbnode transport needs a device directory (TESSALINE_DEVICE_DIR)")
        self.node = os.path.join(self.directory, "tessaline.%08X" % serial)
        self.enumerations = 0
        self.rename_to = None       # serial number to come back under

    def info(self):
        return {"transport": self.kind, "node": self.node, "path": self.path}

    def _tune_slave(self, slave):
        attrs = termios.tcgetattr(slave)
        attrs[6][termios.VMIN] = 0
        attrs[6][termios.VTIME] = 1
        termios.tcsetattr(slave, termios.TCSANOW, attrs)

    def _new_decoder(self):
        self._decoder = PacketAssembler()

    def _decode(self, chunk):
        packets = self._decoder.feed(chunk)
        self.framing_errors = self._decoder.errors
        return packets

    def _publish(self):
        os.makedirs(self.directory, exist_ok=True)
        tmp = os.path.join(self.directory, ".sim-%d-%08X" % (os.getpid(), self.serial))
        os.symlink(self.path, tmp)
        os.replace(tmp, self.node)
        self.enumerations += 1

    def _unpublish(self):
        try:
            if os.path.islink(self.node) and os.readlink(self.node) == self.path:
                os.unlink(self.node)
        except OSError:
            pass

    def _open(self):
        self._make_pty()
        self._publish()

    def _close(self):
        self._away_at = self._return_at = None
        self._unpublish()
        self._drop_pty()

    def _leave(self):
        self._unpublish()
        self._drop_pty()

    def _come_back(self):
        if self.rename_to is not None:
            self.serial, self.rename_to = self.rename_to, None
            self.node = os.path.join(self.directory, "tessaline.%08X" % self.serial)
        self._make_pty()
        self._publish()

    @property
    def present(self):
        return self._master is not None


def make_transport(kind, serial, host="127.0.0.1", port=0, device_dir=None, name=None):
    name = name or "%08X" % serial
    if kind == "tcp":
        return TcpTransport(host, port, name)
    if kind == "serial":
        return SerialTransport(name)
    if kind == "usbnode":
        return UsbNodeTransport(serial, device_dir, name)
    raise ValueError("unknown transport %r" % kind)


__all__ = ["Transport", "TcpTransport", "SerialTransport", "UsbNodeTransport", "make_transport"]
