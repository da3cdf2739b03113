// Modules reached through the Python simulator over every transport the
// update engine uses: TCP, the kernel driver's node (a pty standing in for
// it) and framed serial; a module behind a router; fallback onto USB.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "Module.h"
#include "SimProcess.h"
#include "SystemClass.h"
#include "TempDir.h"

using namespace Korvanta::Tessaline;
using objects_test::SimProcess;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;

nWeaveConfig directLinks(bool fallback = false)
{
    nWeaveConfig config;
    config.enabled = false;
    config.fallback = fallback;
    return config;
}

class SimDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.ok());
        setenv("TESSALINE_DEVICE_DIR", m_dir.c_str(), 1);
    }
    void TearDown() override { unsetenv("TESSALINE_DEVICE_DIR"); }

    // What the simulator's system entity and information command report.
    void expectIdentity(Module& module, uint32_t serial)
    {
        SystemClass system;
        system.init(&module, 0);
        uint32_t value = 0;
        ASSERT_EQ(system.getSerialNumber(&value), aErrNone);
        EXPECT_EQ(value, serial);
        uint8_t model = 0;
        ASSERT_EQ(system.getModel(&model), aErrNone);
        EXPECT_EQ(model, 13);
        uint8_t name[64] = {0};
        size_t length = 0;
        ASSERT_EQ(system.getName(name, sizeof(name), &length), aErrNone);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "SimModule");
        uint32_t build = 0;
        ASSERT_EQ(module.getBuild(&build), aErrNone);
        EXPECT_EQ(build, 1000u);
        EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrNone);
    }
    TempDir m_temp;
    const std::string m_dir = m_temp.path();
};

TEST_F(SimDevices, EachTransport)
{
    struct Case {
        const char* transport;
        std::function<aErr(Module&, const SimProcess&)> connect;
    } cases[] = {
        {"tcp",
         [](Module& m, const SimProcess& sim) {
             linkSpec spec{};
             spec.type = TCPIP;
             spec.serialNumber = kSerial;
             spec.ipAddress = htonl(INADDR_LOOPBACK);
             spec.ipPort = static_cast<uint32_t>(std::stoul(sim.field("port")));
             return m.connectFromSpec(spec);
         }},
        {"usbnode", [](Module& m, const SimProcess&) { return m.connect(USB, kSerial); }},
        {"serial",
         [](Module& m, const SimProcess& sim) {
             linkSpec spec{};
             spec.type = SERIAL;
             spec.serialNumber = kSerial;
             spec.baudRate = 115200;
             snprintf(spec.portName, sizeof(spec.portName), "%s", sim.field("path").c_str());
             return m.connectFromSpec(spec);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transport);
        SimProcess sim({"--serial", "40F5849A", "--transport", c.transport, "--address", "4", "--device-dir", m_dir});
        ASSERT_TRUE(sim.ready());
        Module module(2);
        ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
        ASSERT_EQ(c.connect(module, sim), aErrNone) << sim.info();
        EXPECT_EQ(module.getModuleAddress(), 4);  // adopted from the module
        expectIdentity(module, kSerial);
        EXPECT_EQ(module.disconnect(), aErrNone);
    }
}

TEST_F(SimDevices, ModuleBehindARouter)
{
    SimProcess sim({"--module", "serial=1000,transport=tcp,address=2", "--module", "serial=2000,router=1000,address=10"});
    ASSERT_TRUE(sim.ready());
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = 0x1000;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.ipPort = static_cast<uint32_t>(std::stoul(sim.field("port")));

    Module router(2);
    ASSERT_EQ(router.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(spec), aErrNone);
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);

    Module behind(10, false, 0);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    expectIdentity(behind, 0x2000);

    router.disconnect();  // the module behind keeps the shared link
    SystemClass system;
    system.init(&behind, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x2000u);
}

TEST_F(SimDevices, NetworkedLookupFallsBackToUSB)
{
    SimProcess sim({"--serial", "40F5849A", "--transport", "usbnode", "--device-dir", m_dir});
    ASSERT_TRUE(sim.ready());
    struct Case {
        bool fallback;
        aErr result;
    } cases[] = {{false, aErrNotFound}, {true, aErrNone}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fallback);
        Module module(2);
        ASSERT_EQ(module.setConfig(directLinks(c.fallback)), aErrNone);
        EXPECT_EQ(module.connect(NWEAVE, kSerial), c.result);
        EXPECT_EQ(module.isConnected(), c.result == aErrNone);
    }
}

TEST_F(SimDevices, DiscoveryByModelTakesTheFirstOfThatModel)
{
    // Two node modules; discovery without a serial number picks by model
    // (nodes report model 0, so a non-zero model finds none).
    SimProcess sim({"--module", "serial=0000A001,transport=usbnode,device-dir=" + m_dir, "--module",
                    "serial=0000A002,transport=usbnode,device-dir=" + m_dir});
    ASSERT_TRUE(sim.ready());
    Module any(2, true, 0);
    ASSERT_EQ(any.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(any.discoverAndConnect(USB, 0), aErrNone);
    linkSpec spec{};
    ASSERT_EQ(any.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x0000A001u);

    Module picky(2, true, 13);
    ASSERT_EQ(picky.setConfig(directLinks()), aErrNone);
    EXPECT_EQ(picky.discoverAndConnect(USB, 0), aErrNotFound);
}

}  // namespace
