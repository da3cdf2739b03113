// Packet-log writer: its life cycle and its refusals.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "TempDir.h"
#include "aFile.h"
#include "aLogger.h"

namespace {

std::atomic<int> g_calls{0};

void countingWriter(aFile* file, uint32_t linkId)
{
    if (g_calls++ == 0)
        aFile_Printf(file, "link %u\n", linkId);
    usleep(1000);  // like the real writer, rest between records
}

TEST(Logger, RunsItsWriterUntilDisabled)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    g_calls = 0;
    aLogger* logger = aLogger_Create(7, countingWriter, dir.file("log").c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_TRUE(aVALIDLOGGER(logger));
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // not running: nothing to stop
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running
    for (int i = 0; i < 500 && g_calls < 3; ++i)
        usleep(1000);
    EXPECT_GE(g_calls.load(), 3);
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    const int calls = g_calls;
    usleep(20 * 1000);
    EXPECT_EQ(g_calls.load(), calls);  // stopped
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    std::ifstream in(dir.file("log"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "link 7\n");
}

TEST(Logger, Refusals)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    EXPECT_EQ(aLogger_Create(1, countingWriter, (dir.path() + "/missing/log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, nullptr, dir.file("log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, countingWriter, nullptr), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLogger* none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
    EXPECT_FALSE(aVALIDLOGGER(nullptr));

    // A running logger is stopped by its destruction.
    aLogger* running = aLogger_Create(1, countingWriter, dir.file("log").c_str());
    ASSERT_NE(running, nullptr);
    ASSERT_EQ(aLogger_Enable(running), aErrNone);
    EXPECT_EQ(aLogger_Destroy(&running), aErrNone);
    EXPECT_EQ(running, nullptr);
}

}  // namespace
