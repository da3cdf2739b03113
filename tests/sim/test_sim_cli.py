"""The simulator as a separate process: ready line, control commands, clean exit."""

import os
import subprocess
import sys

import pytest

from sim_client import SimClient
from sim_process import SIM, SimProcess
from sim_protocol import CMD_I2C, CMD_SYSTEM


@pytest.fixture
def spawn(tmp_path):
    procs = []

    def start(*args):
        sim = SimProcess(args, env={"TESSALINE_DEVICE_DIR": str(tmp_path / "dev")},
                         cwd=str(tmp_path)).start()
        procs.append(sim)
        return sim, sim.ready
    yield start
    for sim in procs:
        sim.stop()


def test_single_tcp_module_and_control(spawn, tmp_path):
    proc, ready = spawn("--serial", "40F5849A", "--transport", "tcp", "--port", "0",
                        "--address", "6", "--build", "4242", "--flash-file",
                        str(tmp_path / "flash"))
    module = ready["modules"][0]
    assert module["serial"] == "40F5849A" and module["port"] > 0
    with SimClient.connect(module) as client:
        assert client.announce() == 6
        assert client.get(6, CMD_SYSTEM, 43, "int") == 4242
        assert proc.command("mute 40F5849A on") == {"ok": True}
        with pytest.raises(TimeoutError):
            client.announce(0.3)
        proc.command("mute 40F5849A off")
        assert client.announce() == 6
        status = proc.command("status 40F5849A")["status"]
        assert status["counters"]["announce"] >= 2 and status["connected"]
        assert proc.command("bogus 40F5849A")["ok"] is False
        assert proc.command("status 12345678")["ok"] is False
    assert proc.command("quit")["quit"]
    assert proc.stop() == 0


def test_several_modules_with_router_bus(spawn, tmp_path):
    proc, ready = spawn("--module", "serial=1000,transport=usbnode,address=2,heartbeat=0",
                        "--module", "serial=2000,router=1000,address=10",
                        "--module", "serial=3000,transport=serial")
    router, serial_module = ready["modules"]
    assert router["bus"][0] == proc.module(0x2000)
    assert os.path.islink(tmp_path / "dev" / "tessaline.00001000")
    with SimClient.connect(router) as client:
        probe = bytes((CMD_I2C, 0, 10, 2, 3, 0, 0))
        assert client.request(2, probe, probe[:3] + b"\x00")[4] == 0
        client.set(2, CMD_SYSTEM, 20, 1, "byte")
        assert client.get(10, CMD_SYSTEM, 9, "int") == 0x2000
    with SimClient.connect(serial_module) as client:
        assert client.get(2, CMD_SYSTEM, 9, "int") == 0x3000
    proc.proc.terminate()
    assert proc.proc.wait(5) == 0
    proc.stop()
    assert not os.path.lexists(tmp_path / "dev" / "tessaline.00001000")


@pytest.mark.parametrize("args", [
    [], ["--serial", "XYZ"], ["--module", "transport=tcp"], ["--serial", "1", "--fault", "nope"],
    ["--module", "serial=1,router=2"], ["--serial", "1", "--address", "3"],
    ["--serial", "1", "--transport", "usb"], ["--serial", "1", "--transport", "usbnode"],
])
def test_bad_command_lines_are_refused(args):
    env = {k: v for k, v in os.environ.items() if k != "TESSALINE_DEVICE_DIR"}
    result = subprocess.run([sys.executable, SIM] + args, capture_output=True, text=True,
                            timeout=10, env=env)
    assert result.returncode == 2
    assert "sim_module" in result.stderr or "error" in result.stderr
