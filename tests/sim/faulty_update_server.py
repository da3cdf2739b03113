#!/usr/bin/python3
"""The real update server (tools/update-server) with one injected fault, for
tests of the updater's error handling.

    faulty_update_server.py --fault KIND [--fault-ops OPS] --root DIR --port 0 ...

KIND applies to the requests named in OPS (comma-separated op values: hi, qu,
bird, builds, fix; default "bird"); all other requests are answered normally.

    http500    HTTP status 500 with an error text
    status     HTTP 200 but a status line that is not "ok"
    empty      "ok" and nothing after it
    truncated  the payload line loses its last character
    badbase64  the payload keeps its length but holds characters outside base64
    notbird    a valid base64 payload that is not a BIRD file
    stall      headers and half the body, then nothing until the client leaves
    close      headers announce the whole body; half is sent, then the
               connection is closed
"""
import argparse
import importlib.machinery
import importlib.util
import os
import pathlib
import re
import select
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
FAULTS = ("http500", "status", "empty", "truncated", "badbase64", "notbird", "stall", "close")
STALL_LIMIT_S = 300  # a stalled reply never outlives a forgotten test by much


def load_update_server():
    path = str(ROOT / "tools" / "update-server")
    loader = importlib.machinery.SourceFileLoader("update_server", path)
    spec = importlib.util.spec_from_loader("update_server", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


update_server = load_update_server()


def faulty_handler(kind, ops):
    class FaultyHandler(update_server.UpdateHandler):
        def deliver(self, op, status, body):
            if op not in ops:
                return super().deliver(op, status, body)
            lines = body.split(b"\n")
            if kind == "http500":
                return super().deliver(op, 500, b"error: simulated server failure\n")
            if kind == "status":
                return super().deliver(op, 200, b"error: simulated refusal\n" + b"\n".join(lines[1:]))
            if kind == "empty":
                return super().deliver(op, 200, b"ok\n")
            if kind == "truncated" and len(lines) > 1:
                lines[1] = lines[1][:-1]
                return super().deliver(op, status, b"\n".join(lines))
            if kind == "badbase64" and len(lines) > 1 and len(lines[1]) >= 8:
                payload = bytearray(lines[1])
                payload[4:8] = b"*!*!"
                lines[1] = bytes(payload)
                return super().deliver(op, status, b"\n".join(lines))
            if kind == "notbird":
                return super().deliver(op, 200, b"ok\n" + update_server.base64.b64encode(b"ELF\0not a bird file") + b"\n")
            if kind in ("stall", "close"):
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[:len(body) // 2])
                self.wfile.flush()
                if kind == "close":
                    self.close_connection = True
                    return None
                deadline = time.monotonic() + STALL_LIMIT_S
                while time.monotonic() < deadline:
                    readable, _, _ = select.select([self.connection], [], [], 0.2)
                    if readable and not self.connection.recv(4096):
                        break  # the client gave up
                self.close_connection = True
                return None
            return super().deliver(op, status, body)

    return FaultyHandler


def write_build(folder, build, version, serial, model="TS-MUX", image=b"\x00" * 64):
    """Writes FOLDER/BUILD.bird (a BIRD file with one firmware block and an
    identity block) and returns its path."""
    import birdgen
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / ("%d.bird" % build)
    path.write_bytes(birdgen.make_bird(firmware=[(0x8000, image)], build=build, version=version,
                                       serial=serial, model=model))
    return path


class RunningServer:
    """Starts tools/update-server (or this wrapper with a fault) on a free
    loopback port for a test; use as a context manager. Its request log goes
    to `log_path`."""

    START_TIMEOUT_S = 15

    def __init__(self, root, log_path, fault=None, fault_ops="bird"):
        if fault is None:
            cmd = [sys.executable, str(ROOT / "tools" / "update-server")]
        else:
            cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--fault", fault, "--fault-ops", fault_ops]
        cmd += ["--root", str(root), "--port", "0"]
        self.log_path = pathlib.Path(log_path)
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL)
        line = b""
        deadline = time.monotonic() + self.START_TIMEOUT_S
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            readable, _, _ = select.select([self.proc.stdout], [], [], 0.2)
            if readable:
                chunk = os.read(self.proc.stdout.fileno(), 1)
                if not chunk:
                    break
                line += chunk
        m = re.search(rb"http://([0-9.]+):([0-9]+)/cgi/u", line)
        if not m:
            self.stop()
            raise RuntimeError("update server did not start: %r %r" % (line, self.log_path.read_bytes()))
        self.host, self.port = m.group(1).decode(), int(m.group(2))
        self.url = "http://%s:%d/cgi/u" % (self.host, self.port)
        self.banner = line.decode()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        self.proc.stdout.close()

    def log_lines(self):
        return self.log_path.read_text(errors="replace").splitlines()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    p = argparse.ArgumentParser(add_help=False)
    p.add_argument("--fault", required=True, choices=FAULTS)
    p.add_argument("--fault-ops", default="bird")
    args, rest = p.parse_known_args(argv)
    ops = set(args.fault_ops.split(","))
    return update_server.main(rest, faulty_handler(args.fault, ops))


if __name__ == "__main__":
    sys.exit(main())
