// The Updater object's own state.
#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "Updater.h"

namespace {

TEST(Updater, FreshObjectKeepsSettingsAndClearsState)
{
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/tmp/store/updater", display);
    EXPECT_EQ("http://127.0.0.1:1/cgi/u", updater.GetServerUrl());
    EXPECT_EQ("/tmp/store/updater", updater.GetStorageDirectory());
    EXPECT_EQ(&display, &updater.GetDisplay());
    EXPECT_EQ(Updater::kRecoveryChipNone, updater.GetRecoveryChip());
    EXPECT_FALSE(updater.GetUEIBytesLoad());
    updater.Set_UEIBytes_Load(true);
    EXPECT_TRUE(updater.GetUEIBytesLoad());
    updater.Set_UEIBytes_Load(false);
    EXPECT_FALSE(updater.GetUEIBytesLoad());
}

TEST(Updater, CopiesItsTexts)
{
    RecordingDisplay display;
    std::string url = "http://127.0.0.1:2/cgi/u";
    std::string dir = "/tmp/a/updater";
    Updater updater(url.c_str(), dir.c_str(), display);
    url.assign("changed");
    dir.assign("changed");
    EXPECT_EQ("http://127.0.0.1:2/cgi/u", updater.GetServerUrl());
    EXPECT_EQ("/tmp/a/updater", updater.GetStorageDirectory());
}

TEST(DeviceInfo, NewRecordIsZeroed)
{
    DeviceInfo info;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&info.spec);
    for (size_t i = 0; i < sizeof info.spec; ++i)
        ASSERT_EQ(0, bytes[i]) << i;
    EXPECT_EQ(0, info.networkAddress);
    EXPECT_EQ(0u, info.build);
    EXPECT_EQ(0, info.major);
    EXPECT_EQ(0, info.minor);
    EXPECT_EQ(0u, info.patch);
    EXPECT_TRUE(info.modelName.empty());
    EXPECT_TRUE(info.deviceName.empty());
    EXPECT_EQ(0, info.error);
}

} // namespace
