// Module and Link connection: waiting for a link by status, connecting from a
// specifier to a scripted TCP module, address adoption, refusals, fallback,
// shared links and the packet log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Link.h"
#include "Module.h"
#include "ScriptedPeer.h"
#include "SystemClass.h"
#include "TempDir.h"
#include "aDefs.h"
#include "aLink.h"

using namespace Korvanta::Tessaline;
using objects_test::ScriptedPeer;
using objects_test::WirePacket;

namespace {

nWeaveConfig directLinks()
{
    nWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

bool isAddressQuery(const WirePacket& p)
{
    return p.address == 0xAD && p.data.empty();
}

struct StatusScript {
    std::vector<uint32_t> statuses;  // reported in turn; the last one repeats
    size_t calls = 0;
};

uint32_t scriptedStatus(void* ref)
{
    StatusScript* script = static_cast<StatusScript*>(ref);
    const size_t i = std::min(script->calls++, script->statuses.size() - 1);
    return script->statuses[i];
}

TEST(WaitForLink, OutcomeByStatus)
{
    struct Case {
        std::vector<uint32_t> statuses;
        aErr result;
        bool polled;
    } cases[] = {
        {{kLinkStatusRunning}, aErrNone, false},
        {{kLinkStatusStarting, kLinkStatusStarting, kLinkStatusRunning}, aErrNone, true},
        {{kLinkStatusStopped, kLinkStatusRunning}, aErrNone, true},
        {{kLinkStatusSyncing, kLinkStatusSyncing, kLinkStatusSyncing, kLinkStatusRunning}, aErrNone, true},
        {{kLinkStatusSyncing}, aErrConnection, true},  // stuck: every poll used
        {{kLinkStatusStopping}, aErrBusy, false},
        {{kLinkStatusInvalid}, aErrConnection, false},
        {{kLinkStatusIOError}, aErrConnection, false},
        {{kLinkStatusPacketError}, aErrConnection, false},
        {{7}, aErrDuplicate, false},
        {{9}, aErrDuplicate, false},
        {{0xFFFFFFFF}, aErrDuplicate, false},
    };
    const int polls = 5;
    for (Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "first status " << c.statuses[0] << ", " << c.statuses.size() << " steps");
        StatusScript script{c.statuses};
        EXPECT_EQ(Link_waitForStatus(scriptedStatus, &script, polls), c.result);
        if (c.polled) {
            EXPECT_GT(script.calls, 1u);
        } else {
            EXPECT_EQ(script.calls, 1u);  // decided without waiting
        }
        if (c.result == aErrConnection && c.polled) {
            EXPECT_GE(script.calls, static_cast<size_t>(polls + 1));
        }
    }
}

TEST(ModuleConnect, FromSpecAdoptsTheAnnouncedAddress)
{
    ScriptedPeer peer;
    peer.setAddress(6);
    Module module(2);
    ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(peer.spec()), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkStatusRunning);
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_EQ(peer.count(isAddressQuery), 1u);

    linkSpec stored{};
    ASSERT_EQ(module.getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(stored.ipPort, peer.port());

    // Connected: refusals that change nothing.
    EXPECT_EQ(module.connectFromSpec(peer.spec()), aErrBusy);
    nWeaveConfig other = directLinks();
    other.port = 1234;
    EXPECT_EQ(module.getLink()->setConfig(other), aErrMode);
    nWeaveConfig kept;
    ASSERT_EQ(module.getConfig(&kept), aErrNone);
    EXPECT_EQ(kept.port, 0);
    EXPECT_EQ(module.getLink()->setLinkSpecifier(peer.spec(0x1234)), aErrBusy);
    EXPECT_EQ(module.getLink()->connect(), aErrConnection);
    EXPECT_EQ(peer.connections(), 1);
}

TEST(ModuleConnect, WithoutNetworkingModeTheAddressStays)
{
    ScriptedPeer peer;
    peer.setAddress(6);
    Module module(2, false, 0);
    ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(peer.spec()), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 2);
    EXPECT_EQ(peer.count(isAddressQuery), 0u);
}

TEST(ModuleConnect, SilentModuleGetsFourAddressQueries)
{
    ScriptedPeer peer;
    peer.setAddress(0);  // never answers
    Module module(2);
    ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
    EXPECT_EQ(module.connectFromSpec(peer.spec()), aErrNotReady);
    EXPECT_TRUE(module.isConnected());  // the link stays open
    EXPECT_EQ(module.getModuleAddress(), 2);
    EXPECT_TRUE(peer.waitFor([&] { return peer.count(isAddressQuery) >= 4; }));
    EXPECT_EQ(peer.count(isAddressQuery), 4u);
}

TEST(ModuleConnect, ReconnectOpensTheStoredSpecifierAgain)
{
    ScriptedPeer peer;
    Module module(2);
    ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(peer.spec()), aErrNone);
    ASSERT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkStatusPacketError);
    EXPECT_TRUE(peer.waitFor([&] { return peer.closedConnections() == 1; }));
    EXPECT_EQ(module.disconnect(), aErrNone);  // again: nothing held, nothing to do
    ASSERT_EQ(module.reconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(peer.connections(), 2);
}

TEST(ModuleConnect, RefusedBeforeAnythingIsOpened)
{
    Module module(2);
    ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    EXPECT_EQ(module.reconnect(), aErrConfiguration);  // no specifier stored

    struct Case {
        linkType type;
        aErr result;
    } cases[] = {
        {NWEAVE, aErrConfiguration}, {NWEAVE_USB, aErrConfiguration}, {NWEAVE_TCPIP, aErrConfiguration},
        {NWEAVE_SERIAL, aErrConfiguration}, {INVALID, aErrMode}, {static_cast<linkType>(255), aErrMode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        linkSpec spec{};
        spec.type = c.type;
        spec.serialNumber = 0x1234;
        EXPECT_EQ(module.connectFromSpec(spec), c.result);
        EXPECT_FALSE(module.isConnected());
        EXPECT_EQ(module.getStatus(), kLinkStatusPacketError);
    }
    // A TCP module that is not there: the socket cannot connect.
    linkSpec nobody{};
    nobody.type = TCPIP;
    nobody.serialNumber = 0x1234;
    nobody.ipAddress = htonl(INADDR_LOOPBACK);
    nobody.ipPort = 1;
    EXPECT_EQ(module.connectFromSpec(nobody), aErrConnection);
    EXPECT_FALSE(module.isConnected());
}

// Fallback is observed through the library's debug line.
class Fallback : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.ok());
        setenv("TESSALINE_DEVICE_DIR", m_temp.path().c_str(), 1);  // no module nodes
        aTessalineDebuggingEnable = 1;
        aTessalineDebuggingLevel = aDEBUG_LINK;
    }
    void TearDown() override
    {
        aTessalineDebuggingEnable = 0;
        aTessalineDebuggingLevel = 0;
        unsetenv("TESSALINE_DEVICE_DIR");
    }
    TempDir m_temp;
};

TEST_F(Fallback, RetriesOnceOnTheOtherTransport)
{
    struct Case {
        linkType type;
        bool fallback;
        const char* line;  // expected debug line, or null for none
    } cases[] = {
        {USB, true, "Executing Fallback - old type: 1 - new type: 4"},
        {NWEAVE_USB, true, "Executing Fallback - old type: 5 - new type: 1"},
        {USB, false, nullptr},
        {SERIAL, true, nullptr},  // serial links never fall back
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " fallback " << c.fallback);
        Link link("Link");
        nWeaveConfig config = directLinks();
        config.fallback = c.fallback;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        testing::internal::CaptureStdout();
        const aErr result = link.discoverAndConnect(c.type, 0x40F5849A, 0);
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, aErrNotFound);
        if (c.line) {
            EXPECT_NE(output.find(c.line), std::string::npos) << output;
            EXPECT_EQ(output.find("Executing Fallback"), output.rfind("Executing Fallback"));  // only once
        } else {
            EXPECT_EQ(output.find("Executing Fallback"), std::string::npos) << output;
        }
        EXPECT_FALSE(link.isConnected());
    }
}

// A router and a module behind it share one link; it closes with its last user.
TEST(SharedLink, RouterAndBusModuleHoldOneUseEach)
{
    ScriptedPeer peer([](const WirePacket& p, ScriptedPeer& self) {
        // System entity, serial number get: answer by the asking address.
        if (p.data.size() == 3 && p.data[0] == 3 && p.data[1] == (9 | 0x40))
            self.send(p.address, {3, 9, uint8_t(p.data[2] & 0x1F), 0, 0, 0, p.address});
    });
    Module router(2);
    ASSERT_EQ(router.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(peer.spec()), aErrNone);

    Module behind(10, false, 0);
    EXPECT_EQ(behind.connectThroughLinkModule(nullptr), aErrInitialization);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    EXPECT_EQ(behind.getModuleAddress(), 10);
    EXPECT_EQ(peer.connections(), 1);
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone);  // already connected: unchanged

    nWeaveConfig shared;
    ASSERT_EQ(behind.getConfig(&shared), aErrNone);
    EXPECT_FALSE(shared.enabled);

    SystemClass system;
    system.init(&behind, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 10u);  // answered for the bus module's address

    ASSERT_EQ(router.disconnect(), aErrNone);
    EXPECT_FALSE(router.isConnected());
    EXPECT_TRUE(behind.isConnected());
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(peer.closedConnections(), 0);

    ASSERT_EQ(behind.disconnect(), aErrNone);
    EXPECT_TRUE(peer.waitFor([&] { return peer.closedConnections() == 1; }));

    // A router that knows its module but holds no link has nothing to share.
    Module late(12, false, 0);
    EXPECT_EQ(late.connectThroughLinkModule(&router), aErrInitialization);
    EXPECT_FALSE(late.isConnected());
    Module never(2);
    EXPECT_EQ(late.connectThroughLinkModule(&never), aErrNotFound);  // no specifier at all
}

TEST(PacketLog, WritesStartAndTrafficToTheFile)
{
    char path[] = "/tmp/objects-log-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    Module idle(2);
    EXPECT_EQ(idle.enablePacketLog(path), aErrConfiguration);
    EXPECT_EQ(idle.disablePacketLog(), aErrConfiguration);

    ScriptedPeer peer([](const WirePacket& p, ScriptedPeer& self) {
        if (!p.data.empty() && p.data[0] == 0x17)
            self.send(p.address, p.data);
    });
    Module module(2);
    ASSERT_EQ(module.setConfig(directLinks()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(peer.spec()), aErrNone);
    EXPECT_EQ(module.enablePacketLog("/nonexistent-directory/packets.log"), aErrIO);
    ASSERT_EQ(module.enablePacketLog(path), aErrNone);
    const uint8_t echo[] = {0xA1, 0xB2};
    ASSERT_EQ(module.debug(echo, sizeof(echo)), aErrNone);
    ASSERT_EQ(module.enablePacketLog(path), aErrNone);  // same logger, same file
    auto contents = [&] {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    EXPECT_TRUE(objects_test::waitUntil([&] { return contents().find("> 0x2 0x3 0x17 0xA1 0xB2") != std::string::npos; }))
        << contents();
    EXPECT_TRUE(objects_test::waitUntil([&] { return contents().find("< 0x2 0x3 0x17 0xA1 0xB2") != std::string::npos; }))
        << contents();
    EXPECT_EQ(module.disablePacketLog(), aErrNone);
    const std::string text = contents();
    size_t starts = 0;
    for (size_t at = text.find("6 < START"); at != std::string::npos; at = text.find("6 < START", at + 1))
        ++starts;
    EXPECT_EQ(starts, 2u) << text;
    unlink(path);
}

}  // namespace
