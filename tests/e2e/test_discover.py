"""-D: the real Updater lists simulated modules on USB driver nodes, on TCP/IP
inside a private network namespace, and on the I2C bus behind a router.
Listings are compared line for line."""
import os
import pathlib
import re
import subprocess

import pytest

import netns
from sim_module import ModuleConfig, Simulator

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUN_TIMEOUT_S = 90
DEAD_URL = "http://127.0.0.1:9/cgi/u"     # discovery never asks the update server
MODEL_NAMES = {13: "TSRouter", 14: "TSHub8", 15: "TSAnalog8", 16: "TSDigital16"}

USB_HEADING = "    Device    Module   Router  Model          Firmware Version (Build)    Device Name"
OTHER_HEADING = ("    Device    Module   Router  Model          Firmware Version (Build)   "
                 "[IP address]       Device Name")
NONE_FOUND = "    No devices found."


def error_codes():
    text = (ROOT / "Tessaline2" / "common" / "aError.h").read_text()
    return {name: int(value) for name, value in re.findall(r"\b(aErr\w+) = (\d+)", text)}


def row(cfg, build=None, name=None, module=None, router=None, ip=None):
    """The listing line of a module, from its simulator configuration."""
    fields = ("    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)" %
              (cfg.serial, cfg.address if module is None else module,
               cfg.address if router is None else router, MODEL_NAMES[cfg.model],
               cfg.version[0], cfg.version[1], cfg.version[2], cfg.build if build is None else build))
    shown = cfg.name.decode() if name is None else name
    if ip is not None:
        return fields + "        %-17s  %s" % ("[%s]" % ip, shown)
    return fields + "         " + shown


def error_row(serial, code):
    return "    %08X  [Error (%d): Is someone else connected to this device?]" % (serial, code)


class Bench:
    def __init__(self, updater, tmp_path):
        self.updater = updater
        self.devices = tmp_path / "dev"
        self.devices.mkdir()
        self.store = tmp_path / "store"
        self.env = dict(os.environ, TESSALINE_DEVICE_DIR=str(self.devices))

    def usb(self, serial, **kw):
        return ModuleConfig(serial=serial, transport="usbnode", device_dir=str(self.devices), **kw)

    def argv(self, *args):
        return [self.updater, "-u", DEAD_URL, "-i", str(self.store)] + list(args)

    def run(self, *args, isolated=False):
        """Runs the updater; with `isolated` (or whenever namespaces can be made)
        inside a fresh network namespace, so that a TCP/IP search that should
        not happen cannot reach a real network."""
        if isolated:
            need_netns()
        run = netns.run_isolated if netns.available() else subprocess.run
        return run(self.argv(*args), capture_output=True, text=True, timeout=RUN_TIMEOUT_S,
                   stdin=subprocess.DEVNULL, env=self.env)


def body(result):
    """Standard output without the version line."""
    lines = result.stdout.splitlines()
    assert lines and lines[0].startswith("Updater (Version: ")
    return lines[1:]


@pytest.fixture
def bench(updater_bin, tmp_path):
    return Bench(updater_bin, tmp_path)


def need_netns():
    if not netns.available():
        pytest.skip(netns.why_unavailable())


# -- USB -----------------------------------------------------------------------------------

def test_usb_listing(bench):
    codes = error_codes()
    old = bench.usb(0x1A2B3C4D, version=(2, 10, 3), name=b"NotShown", build=99528558)
    named = bench.usb(0x2B3C4D5E, version=(2, 10, 4), name=b"Bench B", address=4, model=15, build=4242,
                      router_address=0x20)
    silent_build = bench.usb(0x3C4D5E6F, version=(2, 12, 0), build_reply=False, model=16)
    # A name fills the whole 32-byte buffer; control bytes never reach the terminal.
    long_name = bench.usb(0x5E6F7081, name=b"N" * 31 + b"\x1b", model=14)
    unreachable = bench.usb(0x4D5E6F70, mute=True)
    modules = [old, named, silent_build, long_name, unreachable]
    with Simulator(modules):
        results = [bench.run("-D"), bench.run("-D", "-t", "USB")]
    expected = ["Searching for Tessaline devices", "Discovered Devices: (USB)", USB_HEADING,
                row(old, name=""),
                row(named, router=0x20),
                row(silent_build, build=0),
                error_row(unreachable.serial, codes["aErrConnection"]),
                row(long_name, name="N" * 31 + "?")]
    for result in results:
        assert result.returncode == 0, result.stderr
        assert body(result) == expected
        assert result.stderr == ""
    # The padding of one line, spelt out.
    assert expected[4] == "    2B3C4D5E  04       20      TSAnalog8      2.10.4 (      4242)         Bench B"


def test_no_usb_modules(bench):
    result = bench.run("-D", "-t", "USB")
    assert result.returncode == 0
    assert body(result) == ["Searching for Tessaline devices", "Discovered Devices: (USB)", NONE_FOUND]
    assert result.stderr == ""


# -- behind a router ------------------------------------------------------------------------

ROUTER = 0x1000BEEF
ROUTER_ADDRESS = 0x10


def router_config(bench, **kw):
    bus = [ModuleConfig(serial=0x20000001, address=0x0A, model=15, version=(2, 10, 4), build=501),
           ModuleConfig(serial=0x20000002, address=0x30, model=14, build_reply=False, router_address=0x44),
           ModuleConfig(serial=0x20000003, address=0x20, refuse=[(9, 6)]),   # serial read fails
           ModuleConfig(serial=0x20000004, address=0xFC, model=16, version=(3, 1, 7), build=7)]
    return bench.usb(ROUTER, address=ROUTER_ADDRESS, bus=bus, i2c_devices=[0x40], **kw)


def bus_rows(config, ip=None):
    rows = {0x0A: row(config.bus[0], name="", router=ROUTER_ADDRESS, ip=ip),
            0x30: row(config.bus[1], name="", build=0, router=0x44, ip=ip),
            0xFC: row(config.bus[3], name="", router=ROUTER_ADDRESS, ip=ip)}
    return [rows[a] for a in sorted(rows)]


def events(module, kind):
    return [(t, d) for t, k, d in module.events if k == kind]


@pytest.mark.parametrize("transport, listing, heading", [
    ([], "Unknown", OTHER_HEADING),
    (["-t", "USB"], "USB", USB_HEADING),
])
def test_modules_behind_a_router(bench, transport, listing, heading):
    config = router_config(bench)
    with Simulator([config]) as sim:
        result = bench.run("-D", "-r", "%08X" % ROUTER, *transport, isolated=not transport)
        router = sim.find(ROUTER)
        probes = events(router, "i2c_write")
        route = events(router, "route_to_me")
    assert result.returncode == 0, result.stderr
    assert body(result) == (["Searching for Tessaline Network devices connected to %08X" % ROUTER,
                             "Discovered Devices: (%s)" % listing, heading] + bus_rows(config))
    assert result.stderr == ""
    # Every even address 2..252 once, in order, except the router's own.
    assert [d["address"] for _, d in probes] == [a for a in range(2, 253, 2) if a != ROUTER_ADDRESS]
    assert all(d["data"] == b"\x00\x00" for _, d in probes)
    # Routing on before the first probe, off after the last.
    assert [d["value"] for _, d in route] == [1, 0]
    assert route[0][0] < probes[0][0] and route[1][0] > probes[-1][0]
    assert router.routing is False


def test_router_with_an_empty_bus_still_stops_routing(bench):
    config = bench.usb(ROUTER, address=2)
    with Simulator([config]) as sim:
        result = bench.run("-D", "-r", "%08X" % ROUTER, "-t", "USB")
        route = [d["value"] for _, d in events(sim.find(ROUTER), "route_to_me")]
    assert body(result)[1:] == ["Discovered Devices: (USB)", NONE_FOUND]
    assert route == [1, 0]


@pytest.mark.parametrize("knobs, message", [
    (dict(refuse=[(20, 7)]), "Error 7 on route to me"),
    (dict(mute=True), "Error {aErrConnection} on connectFromSpec"),
])
def test_router_that_fails(bench, knobs, message):
    config = router_config(bench, **knobs)
    with Simulator([config]) as sim:
        result = bench.run("-D", "-r", "%08X" % ROUTER, "-t", "USB")
        probes = events(sim.find(ROUTER), "i2c_write")
    assert result.returncode == 0
    assert body(result) == ["Searching for Tessaline Network devices connected to %08X" % ROUTER,
                            "Discovered Devices: (USB)", NONE_FOUND]
    assert result.stderr.splitlines() == [message.format(**error_codes())]
    assert probes == []


def test_router_not_on_usb(bench):
    with Simulator([bench.usb(0x0BADF00D)]):
        result = bench.run("-D", "-r", "0BADF00E", "-t", "USB")
    assert result.returncode == 0
    assert body(result) == ["Searching for Tessaline Network devices connected to 0BADF00E",
                            "Discovered Devices: (USB)", NONE_FOUND]
    assert result.stderr == ""


# -- TCP/IP, inside a private pair of network namespaces -----------------------------------

def tcp(serial, **kw):
    return ModuleConfig(serial=serial, transport="tcp", host="0.0.0.0", **kw)


def run_in_host_side(ns, bench, *args):
    return ns.run("host", bench.argv(*args), capture_output=True, text=True, timeout=RUN_TIMEOUT_S,
                  stdin=subprocess.DEVNULL, env=bench.env)


def test_tcpip_listing(bench):
    need_netns()
    first = tcp(0x40F5849A, version=(2, 10, 4), name=b"Rack 7", address=6, model=15, build=99528558)
    second = tcp(0x0000BEEF, version=(2, 10, 3), model=14, build=3)
    with netns.NetnsPair() as ns:
        with ns.entered("module"):
            sim = Simulator([first, second], discovery=True).start()
        try:
            result = run_in_host_side(ns, bench, "-D", "-t", "TCP")
        finally:
            sim.stop()
        ip = ns.address("module")
    assert result.returncode == 0, result.stderr
    assert body(result) == ["Searching for Tessaline devices", "Discovered Devices: (TCPIP)", OTHER_HEADING,
                            row(first, ip=ip), row(second, name="", ip=ip)]
    assert result.stderr == ""
    assert body(result)[3] == ("    40F5849A  06       06      TSAnalog8      2.10.4 (  99528558)        "
                               "[10.231.0.2]       Rack 7")


@pytest.mark.parametrize("also_on_usb", [False, True])
def test_router_transport_search_usb_first(bench, also_on_usb):
    """Without -t the router's transport is searched, USB first, then TCP/IP;
    modules behind a TCP/IP router carry the router's address."""
    need_netns()
    config = router_config(bench)
    config.transport, config.host, config.device_dir = "tcp", "0.0.0.0", None
    usb_side = [router_config(bench)] if also_on_usb else [bench.usb(0x0BADF00D)]
    with netns.NetnsPair() as ns:
        with Simulator(usb_side):
            with ns.entered("module"):
                sim = Simulator([config], discovery=True).start()
            try:
                result = run_in_host_side(ns, bench, "-D", "-r", "%08X" % ROUTER)
                route = [d["value"] for _, d in events(sim.find(ROUTER), "route_to_me")]
            finally:
                sim.stop()
        ip = ns.address("module")
    assert result.returncode == 0, result.stderr
    assert body(result) == (["Searching for Tessaline Network devices connected to %08X" % ROUTER,
                             "Discovered Devices: (Unknown)", OTHER_HEADING]
                            + bus_rows(config, ip=None if also_on_usb else ip))
    assert route == ([] if also_on_usb else [1, 0])


def test_router_on_neither_transport(bench):
    need_netns()
    with netns.NetnsPair() as ns:
        with Simulator([bench.usb(0x0BADF00D)]):
            with ns.entered("module"):
                sim = Simulator([tcp(0x0000BEEF)], discovery=True).start()
            try:
                result = run_in_host_side(ns, bench, "-D", "-r", "12345678")
                queries = sim.discovery.queries
            finally:
                sim.stop()
    assert result.returncode == 0
    assert body(result) == ["Searching for Tessaline Network devices connected to 12345678",
                            "Discovered Devices: (Unknown)", NONE_FOUND]
    assert result.stderr == ""
    assert queries >= 1          # the TCP/IP search did run
