// A link over the framed serial stream to the simulated module on a pty:
// every packet size, up to the largest, goes out and comes back whole.
#include "aLink.h"
#include "aStream_Serial.h"

#include <gtest/gtest.h>

#include <string>

#include "../cpp/SimProcess.h"
#include "LinkEcho.h"

namespace {

using objects_test::SimProcess;

constexpr uint32_t kSerial = 0x5E41A100;
constexpr uint8_t kAddress = 4;

TEST(SerialLink, EveryPacketSizeTravelsBothWays)
{
    SimProcess sim({"--serial", "5E41A100", "--transport", "serial", "--address", "4"});
    ASSERT_TRUE(sim.ready());
    const std::string path = sim.field("path");
    ASSERT_FALSE(path.empty()) << sim.info();

    uint32_t link = aLink_CreateSerial(kSerial, path.c_str(), 115200);
    ASSERT_NE(link, 0u);
    for (size_t size = 1; size <= aPACKET_MAXDATA; ++size)
        EXPECT_TRUE(link_echo::echo(link, kAddress, link_echo::pattern(size, static_cast<uint8_t>(size))))
            << "data bytes " << size;
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

} // namespace
