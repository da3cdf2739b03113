// A link over the USB stream's kernel-node back end to the simulated module
// published under a private device directory.
#include "aLink.h"
#include "aStream_USB.h"
#include "tsusb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "../cpp/SimProcess.h"
#include "LinkEcho.h"
#include "TempDir.h"

namespace {

using objects_test::SimProcess;

constexpr uint8_t kAddress = 4;

class UsbNodeLink : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        setenv(kTessalineDeviceDirEnv, dir.path().c_str(), 1);
    }
    void TearDown() override { unsetenv(kTessalineDeviceDirEnv); }
};

TEST_F(UsbNodeLink, EveryPacketSizeTravelsBothWays)
{
    SimProcess sim({"--serial", "0000ABCD", "--transport", "usbnode", "--address", "4", "--device-dir", dir.path()});
    ASSERT_TRUE(sim.ready());
    uint32_t link = aLink_CreateUSB(0x0000ABCD);
    ASSERT_NE(link, 0u);
    for (size_t size = 1; size <= aPACKET_MAXDATA; ++size)
        EXPECT_TRUE(link_echo::echo(link, kAddress, link_echo::pattern(size, static_cast<uint8_t>(size))))
            << "data bytes " << size;
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST_F(UsbNodeLink, ModuleLeavingTheBusFailsTheStreamAndAResetReconnects)
{
    // The module drops off the bus at its 30th packet and comes back at once
    // under the same node name, as a re-enumerating module does.
    SimProcess sim({"--serial", "0000ABCE", "--transport", "usbnode", "--address", "4", "--device-dir", dir.path(),
                    "--drop-after", "30"});
    ASSERT_TRUE(sim.ready());
    uint32_t link = aLink_CreateUSB(0x0000ABCE);
    ASSERT_NE(link, 0u);

    int answered = 0;
    while (answered < 40 && link_echo::echo(link, kAddress, link_echo::pattern(8, 1), 500))
        ++answered;
    EXPECT_LT(answered, 40) << "the module never left";

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (aLink_GetStatus(link) != kLinkStatusIOError && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusIOError);

    EXPECT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_TRUE(link_echo::echo(link, kAddress, link_echo::pattern(28, 3)));
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

} // namespace
