"""The simulator as a separate process: ready line, control commands, clean exit."""

import json
import os
import select
import subprocess
import sys

import pytest

from sim_client import SimClient
from sim_protocol import CMD_I2C, CMD_SYSTEM

SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sim_module.py")


def read_line(proc, timeout=5.0):
    readable, _, _ = select.select([proc.stdout], [], [], timeout)
    assert readable, "no output from the simulator within %.0f s" % timeout
    return proc.stdout.readline()


@pytest.fixture
def spawn(tmp_path):
    procs = []

    def start(*args):
        env = dict(os.environ, TESSALINE_DEVICE_DIR=str(tmp_path / "dev"))
        proc = subprocess.Popen([sys.executable, SIM] + list(args), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                cwd=str(tmp_path))
        procs.append(proc)
        line = read_line(proc)
        assert line.startswith("READY "), line + proc.stderr.read()
        return proc, json.loads(line[6:])
    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.wait(5)
        proc.stdout.close()
        proc.stdin.close()
        proc.stderr.close()


def command(proc, text):
    proc.stdin.write(text + "\n")
    proc.stdin.flush()
    return json.loads(read_line(proc))


def test_single_tcp_module_and_control(spawn, tmp_path):
    proc, ready = spawn("--serial", "40F5849A", "--transport", "tcp", "--port", "0",
                        "--address", "6", "--build", "4242", "--flash-file",
                        str(tmp_path / "flash"))
    module = ready["modules"][0]
    assert module["serial"] == "40F5849A" and module["port"] > 0
    with SimClient.connect(module) as client:
        assert client.announce() == 6
        assert client.get(6, CMD_SYSTEM, 43, "int") == 4242
        assert command(proc, "mute 40F5849A on") == {"ok": True}
        with pytest.raises(TimeoutError):
            client.announce(0.3)
        command(proc, "mute 40F5849A off")
        assert client.announce() == 6
        status = command(proc, "status 40F5849A")["status"]
        assert status["counters"]["announce"] >= 2 and status["connected"]
        assert command(proc, "bogus 40F5849A")["ok"] is False
        assert command(proc, "status 12345678")["ok"] is False
    assert command(proc, "quit")["quit"]
    assert proc.wait(5) == 0


def test_several_modules_with_router_bus(spawn, tmp_path):
    proc, ready = spawn("--module", "serial=1000,transport=usbnode,address=2,heartbeat=0",
                        "--module", "serial=2000,router=1000,address=10",
                        "--module", "serial=3000,transport=serial")
    router, serial_module = ready["modules"]
    assert router["bus"][0]["serial"] == "00002000"
    assert os.path.islink(tmp_path / "dev" / "tessaline.00001000")
    with SimClient.connect(router) as client:
        probe = bytes((CMD_I2C, 0, 10, 2, 3, 0, 0))
        assert client.request(2, probe, probe[:3] + b"\x00")[4] == 0
        client.set(2, CMD_SYSTEM, 20, 1, "byte")
        assert client.get(10, CMD_SYSTEM, 9, "int") == 0x2000
    with SimClient.connect(serial_module) as client:
        assert client.get(2, CMD_SYSTEM, 9, "int") == 0x3000
    proc.terminate()
    assert proc.wait(5) == 0
    assert not os.path.lexists(tmp_path / "dev" / "tessaline.00001000")


@pytest.mark.parametrize("args", [
    [], ["--serial", "XYZ"], ["--module", "transport=tcp"], ["--serial", "1", "--fault", "nope"],
    ["--module", "serial=1,router=2"],
])
def test_bad_command_lines_are_refused(args):
    result = subprocess.run([sys.executable, SIM] + args, capture_output=True, text=True,
                            timeout=10)
    assert result.returncode == 2
    assert "sim_module" in result.stderr or "error" in result.stderr
