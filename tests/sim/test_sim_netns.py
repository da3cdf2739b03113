"""TCP/IP discovery answers, run only inside private network namespaces."""

import os
import socket
import struct
import subprocess
import sys

import pytest

import netns
from sim_client import SimClient
from sim_module import ModuleConfig, Simulator

pytestmark = pytest.mark.skipif(not netns.available(),
                                reason=netns.why_unavailable() or "namespaces available")

SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sim_module.py")


@pytest.fixture
def pair():
    with netns.NetnsPair() as ns:
        yield ns


@pytest.fixture
def modules(pair, tmp_path):
    configs = [ModuleConfig(serial=0x40F5849A, address=4, model=13, host="0.0.0.0",
                            flash_file=str(tmp_path / "a")),
               ModuleConfig(serial=0x0000ABCD, address=6, model=17, host="0.0.0.0",
                            flash_file=str(tmp_path / "b"))]
    with pair.entered("module"):
        sim = Simulator(configs, discovery=True).start()
    yield sim
    sim.stop()


def query(ns, payload=b"\x01" + bytes(15), wait=1.0):
    """Sends the discovery query from the host side and collects the replies."""
    with ns.entered("host"):
        listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with listener, sender:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("", 9889))
        listener.settimeout(wait)
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                          socket.inet_aton(netns.HOST_ADDRESS))
        sender.sendto(payload, ("232.2.2.2", 9888))
        replies = []
        while True:
            try:
                replies.append(listener.recvfrom(64))
            except socket.timeout:
                return replies


def test_pair_has_its_own_addresses(pair):
    out = pair.run("host", ["ip", "-o", "-4", "addr"], capture_output=True, text=True, timeout=10)
    assert "10.231.0.1/24" in out.stdout and "10.231.0.2" not in out.stdout
    with pair.entered("module"):
        server = socket.create_server((netns.MODULE_ADDRESS, 0))
    with pair.entered("host"):
        client = socket.create_connection((netns.MODULE_ADDRESS, server.getsockname()[1]), 2)
    client.close()
    server.close()


def test_namespaces_vanish_on_close():
    with netns.NetnsPair() as ns:
        pids = [ns.pid(side) for side in ns.SIDES]
    assert not any(os.path.exists("/proc/%d" % pid) for pid in pids)


def test_discovery_replies_and_tcp_link(pair, modules):
    replies = query(pair)
    assert len(replies) == 2
    found = {}
    for data, (host, _) in replies:
        assert len(data) == 16 and host == netns.MODULE_ADDRESS
        port, serial = struct.unpack_from("<HI", data, 2)
        found[serial] = (data[1], port, data[12])
    ports = {m.config.serial: m.transport.port for m in modules.modules}
    assert found == {0x40F5849A: (4, ports[0x40F5849A], 13), 0x0000ABCD: (6, ports[0x0000ABCD], 17)}
    with pair.entered("host"):
        client = SimClient.tcp(netns.MODULE_ADDRESS, ports[0x40F5849A])
    with client:
        assert client.announce() == 4


def test_other_queries_and_muted_modules_get_no_reply(pair, modules):
    assert query(pair, b"\x02" + bytes(15), wait=0.5) == []
    modules.find(0x0000ABCD).mute(True)
    assert [struct.unpack_from("<I", d, 4)[0] for d, _ in query(pair)] == [0x40F5849A]


def test_short_replies_on_request(pair, modules):
    modules.discovery.reply_length = 12
    assert {len(d) for d, _ in query(pair)} == {12}


def test_cli_helper_runs_host_command_beside_module(tmp_path):
    script = ("import socket,sys;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
              "s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1);s.bind(('',9889));"
              "s.settimeout(3);q=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
              "q.setsockopt(socket.IPPROTO_IP,socket.IP_MULTICAST_IF,"
              "socket.inet_aton('10.231.0.1'));q.sendto(b'\\x01'+bytes(15),('232.2.2.2',9888));"
              "d,a=s.recvfrom(64);sys.exit(0 if d[4:8]==bytes.fromhex('9a84f540') else 3)")
    module_cmd = "%s %s --serial 40F5849A --transport tcp --host 0.0.0.0 --discovery " \
                 "--flash-file %s" % (sys.executable, SIM, tmp_path / "flash")
    result = subprocess.run([sys.executable, netns.__file__, "--module-cmd", module_cmd, "--",
                             sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("READY ")


def test_run_isolated_has_only_loopback():
    out = netns.run_isolated(["ip", "-o", "link"], capture_output=True, text=True, timeout=10)
    assert out.returncode == 0
    assert [line.split(":")[1].strip() for line in out.stdout.splitlines()] == ["lo"]
