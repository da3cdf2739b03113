// Debug log topics: which lines the mask lets through, and what is written.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "FileText.h"
#include "Log.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Log::DeactivatePackage(0xFFFFFFFF);
        file = tmpfile();
        Log::SetOutput(file);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(file);
    }
    std::string text()
    {
        return readFileText(file);
    }
    FILE* file = nullptr;
};

struct MaskCase {
    unsigned mask;
    unsigned topic;
    bool written;
};

TEST_F(LogTest, TopicMustShareABitWithTheMask)
{
    const MaskCase cases[] = {
        {0, 0, true},
        {0, DEBUG_ServerComm, false},
        {0x20, DEBUG_ServerComm, true},
        {0x21, 0x21, true},
        {0x21, DEBUG_Updater, true},
        {0x21, DEBUG_Attributes, false},
        {DEBUG_APP, DEBUG_APP | DEBUG_Updater, true},
        {DEBUG_iMXSerial, DEBUG_iMXSerial, true},
        {0xFFFFFFFF, 0, true},
    };
    for (const MaskCase& c : cases) {
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::ActivatePackage(c.mask);
        rewind(file);
        ASSERT_EQ(0, ftruncate(fileno(file), 0));
        Log::log(c.topic, "line %u\n", c.topic);
        EXPECT_EQ(c.written ? "line " + std::to_string(c.topic) + "\n" : "", text())
            << "mask " << c.mask << " topic " << c.topic;
    }
}

TEST_F(LogTest, ActivationAccumulatesAndDeactivationClearsOnlyItsBits)
{
    Log::ActivatePackage(0x1);
    Log::ActivatePackage(0x20);
    EXPECT_EQ(0x21u, Log::GetMask());
    Log::DeactivatePackage(0x1);
    EXPECT_EQ(0x20u, Log::GetMask());
    Log::log(DEBUG_Updater, "no\n");
    Log::log(DEBUG_ServerComm, "yes\n");
    EXPECT_EQ("yes\n", text());
}

TEST_F(LogTest, WritesExactlyTheFormattedText)
{
    Log::log(0, "a%sb", "-");
    Log::log(0, "%c", 'z');
    EXPECT_EQ("a-bz", text());
}

TEST_F(LogTest, LongLinesAreCutTo2047Characters)
{
    std::string longText(5000, 'q');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(std::string(2047, 'q'), text());
}

TEST_F(LogTest, NoOutputStreamWritesNothing)
{
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(file);
    EXPECT_EQ("", text());
}

} // namespace
