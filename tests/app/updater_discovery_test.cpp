// Discover_Devices with no transport, and the search for a module's transport:
// USB first, then TCP/IP. The test process moves into a fresh network
// namespace whose only multicast path is a veth pair with both ends inside it,
// so the TCP/IP query never reaches a real network.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "../cpp/SimProcess.h"
#include "RecordingDisplay.h"
#include "TempDir.h"
#include "Updater.h"
#include "aDefs.h"

namespace {

using objects_test::SimProcess;

constexpr uint32_t kUsbFirst = 0x1111AAAA;
constexpr uint32_t kUsbSecond = 0x2222BBBB;
constexpr uint32_t kTcpFirst = 0x0000CCCC;   // sorts before the USB ones: order is by transport
constexpr uint32_t kTcpSecond = 0x3333DDDD;
constexpr uint32_t kOnBoth = 0x4444EEEE;
constexpr const char* kDeadUrl = "http://127.0.0.1:9/cgi/u";

bool run(const std::string& command)
{
    return system(command.c_str()) == 0;
}

class DiscoverBothTransports : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        if (unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "unshare(CLONE_NEWNET) failed";
        ASSERT_TRUE(run("ip link set lo up && ip link add tsd0 type veth peer name tsd1 && "
                        "ip link set tsd1 up && ip addr add 10.233.0.1/24 dev tsd0 && ip link set tsd0 up && "
                        "ip route add 224.0.0.0/4 dev tsd0"));
        ASSERT_TRUE(devices.ok());
        ASSERT_EQ(0, setenv("TESSALINE_DEVICE_DIR", devices.path().c_str(), 1));
    }

    std::vector<std::string> simulatorArgs() const
    {
        const std::string usb = ",transport=usbnode,device-dir=" + devices.path();
        return {"--discovery",
                "--module", "serial=1111AAAA,model=15,version=2.10.4,name=First,build=11" + usb,
                "--module", "serial=2222BBBB,model=14,version=2.10.3,build=22,address=4" + usb,
                "--module", "serial=4444EEEE,model=16,build=55" + usb,
                "--module", "serial=0000CCCC,transport=tcp,host=0.0.0.0,model=15,version=2.11.0,name=Net,build=33",
                "--module", "serial=3333DDDD,transport=tcp,host=0.0.0.0,model=14,build=44"};
    }

    // One simulator holds one module per serial number: the twin runs apart.
    static std::vector<std::string> twinArgs()
    {
        return {"--discovery", "--module", "serial=4444EEEE,transport=tcp,host=0.0.0.0,model=16,build=66"};
    }

    TempDir devices;
};

struct Expected {
    linkType type;
    uint32_t serial;
    uint32_t build;
    int model;
    const char* name;
};

TEST_F(DiscoverBothTransports, ListsUsbModulesFirstThenTcpip)
{
    SimProcess sim(simulatorArgs());
    ASSERT_TRUE(sim.ready());
    SimProcess twin(twinArgs());
    ASSERT_TRUE(twin.ready());
    RecordingDisplay display;
    Updater updater(kDeadUrl, devices.path().c_str(), display);

    std::vector<DeviceInfo> found = updater.Discover_Devices(INVALID);

    // USB in node order, then TCP/IP in the order the answers came (two
    // responders here, so that part is compared by serial number).
    const auto firstTcp = std::find_if(found.begin(), found.end(),
                                       [](const DeviceInfo& d) { return d.spec.type == TCPIP; });
    std::sort(firstTcp, found.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
        return a.spec.serialNumber < b.spec.serialNumber;
    });

    const std::vector<Expected> expected = {
        {USB, kUsbFirst, 11, 15, "First"},    {USB, kUsbSecond, 22, 14, ""},      {USB, kOnBoth, 55, 16, "SimModule"},
        {TCPIP, kTcpFirst, 33, 15, "Net"},    {TCPIP, kTcpSecond, 44, 14, "SimModule"},
        {TCPIP, kOnBoth, 66, 16, "SimModule"},
    };
    ASSERT_EQ(expected.size(), found.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].type, found[i].spec.type);
        EXPECT_EQ(expected[i].serial, found[i].spec.serialNumber);
        EXPECT_EQ(0, found[i].error);
        EXPECT_EQ(expected[i].build, found[i].build);
        EXPECT_EQ(std::string(aDefs_GetModelName(expected[i].model)), found[i].modelName);
        EXPECT_EQ(std::string(expected[i].name), found[i].deviceName);
        EXPECT_EQ(0, found[i].networkAddress);
    }
    EXPECT_EQ(4u, found[1].spec.module);
    EXPECT_EQ(4u, found[1].spec.router);
    EXPECT_TRUE(display.lines.empty());
}

TEST_F(DiscoverBothTransports, FindsTheTransportOfAModule)
{
    SimProcess sim(simulatorArgs());
    ASSERT_TRUE(sim.ready());
    SimProcess twin(twinArgs());
    ASSERT_TRUE(twin.ready());
    const struct {
        uint32_t serial;
        linkType type;
    } cases[] = {{kUsbSecond, USB}, {kTcpSecond, TCPIP}, {kOnBoth, USB}, {0x0BADF00D, INVALID}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial);
        EXPECT_EQ(c.type, Updater::_discover_link_type(c.serial));
    }
}

}  // namespace
