#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aDefs.h"
#include "aVersion.h"

namespace {

struct PackCase {
    uint8_t major, minor, patch;
    uint32_t packed;
};

TEST(VersionPack, ChoosesTheLayoutByMajorAndMinor)
{
    const PackCase cases[] = {
        {2, 14, 3, 0x2E000003u},   // last legacy minor of major 2
        {2, 14, 255, 0x2E0000FFu}, // patch fills the low byte only
        {2, 12, 0, 0x2C000000u},
        {2, 15, 0, 0x2F020F00u},   // first current-layout version
        {2, 255, 255, 0x2F02FFFFu},
        {3, 0, 1, 0x2F030001u},
        {255, 255, 255, 0x2FFFFFFFu},
        {0, 0, 0, 0x00000000u},
        {1, 15, 7, 0x1F000007u},
        {1, 16, 0, 0x10000000u},   // minor above 15 loses its high bits in the legacy layout
        {0, 0x3A, 9, 0x0A000009u},
    };
    for (const PackCase& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
        EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed);
    }
}

struct ParseCase {
    uint32_t packed;
    bool legacy;
    uint8_t major, minor;
    uint32_t patch;
    const char* text;
};

TEST(VersionParse, SplitsBothLayouts)
{
    const ParseCase cases[] = {
        {0x2EFFFFFFu, true, 2, 14, 16777215u, "2.14.16777215"},
        {0x2F000000u, false, 0, 0, 0, "0.0.0"},
        {0x30000000u, false, 0, 0, 0, "0.0.0"}, // top nibble 3: current layout
        {0xFF123456u, false, 0x12, 0x34, 0x56, "18.52.86"},
        {0x2F020F00u, false, 2, 15, 0, "2.15.0"},
        {0x2C000000u, true, 2, 12, 0, "2.12.0"},
        {0x1FABCDEFu, true, 1, 15, 0xABCDEFu, "1.15.11259375"},
        {0x00000000u, true, 0, 0, 0, "0.0.0"},
        {0x2E000003u, true, 2, 14, 3, "2.14.3"},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
        char text[32];
        memset(text, 'x', sizeof text);
        aVersion_ParseString(c.packed, text, sizeof text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(VersionParse, PackThenParseRoundTripsEveryMajorMinor)
{
    for (int major = 0; major < 256; ++major) {
        for (int minor = 0; minor < 256; ++minor) {
            const bool legacyFits = major < 2 ? minor < 16 : (major == 2 && minor < 15);
            const bool current = major > 2 || (major == 2 && minor > 14);
            if (!legacyFits && !current)
                continue; // legacy layout cannot hold it
            const uint32_t packed = aVersion_Pack(uint8_t(major), uint8_t(minor), 200);
            ASSERT_EQ(aVersion_IsLegacyFormat(packed), !current) << major << "." << minor;
            ASSERT_EQ(aVersion_ParseMajor(packed), major);
            ASSERT_EQ(aVersion_ParseMinor(packed), minor);
            ASSERT_EQ(aVersion_ParsePatch(packed), 200u);
        }
    }
}

TEST(VersionParse, StringIsTruncatedToTheBuffer)
{
    struct Case {
        size_t size;
        const char* text;
    } cases[] = {{1, ""}, {2, "2"}, {5, "2.14"}, {7, "2.14.3"}, {8, "2.14.3"}};
    for (const Case& c : cases) {
        char text[16];
        memset(text, 'x', sizeof text);
        aVersion_ParseString(0x2E000003u, text, c.size);
        EXPECT_STREQ(text, c.text) << c.size;
        EXPECT_EQ(text[c.size], 'x') << "nothing written past the given size";
    }
    char untouched = 'x';
    aVersion_ParseString(0x2E000003u, &untouched, 0);
    EXPECT_EQ(untouched, 'x');
}

struct CompareCase {
    uint8_t a[3];
    uint8_t b[3];
    bool atLeast;
};

TEST(VersionCompare, IsLexicographic)
{
    const CompareCase cases[] = {
        {{2, 12, 0}, {2, 12, 0}, true},
        {{2, 12, 0}, {2, 12, 1}, false},
        {{3, 0, 0}, {2, 255, 255}, true},
        {{2, 255, 255}, {3, 0, 0}, false},
        {{2, 13, 0}, {2, 12, 255}, true},
        {{2, 11, 255}, {2, 12, 0}, false},
        {{0, 0, 0}, {0, 0, 0}, true},
        {{255, 255, 255}, {255, 255, 254}, true},
    };
    for (const CompareCase& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast)
            << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0])
            << "." << int(c.b[1]) << "." << int(c.b[2]);
    }
}

TEST(LibraryVersion, ReportsItsOwnVersion)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 0);
    EXPECT_STREQ(aVersion_GetString(), "2.12.0");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString()) << "one cached buffer";
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 255));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 1));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(LibraryVersion, FirstCallsFromSeveralThreadsAgree)
{
    std::vector<const char*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
    for (std::thread& t : threads)
        t.join();
    for (const char* text : seen)
        EXPECT_STREQ(text, "2.12.0");
}

TEST(LibraryFeatures, NamesMatchExactly)
{
    const struct {
        const char* name;
        bool present;
    } cases[] = {{"VERSION", true}, {"version", false}, {"VERSIO", false}, {"VERSION ", false},
                 {"", false}, {nullptr, false}};
    for (const auto& c : cases)
        EXPECT_EQ(aVersion_HasFeature(c.name), c.present) << (c.name ? c.name : "(null)");
}

TEST(LibraryFeatures, ListIsOwnedByTheCaller)
{
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    aVersion_DestroyFeatureList(&list); // a second release is harmless
    aVersion_DestroyFeatureList(nullptr);
}

TEST(ModelName, KnownNumbersHaveShortDistinctNames)
{
    const int known[] = {4, 5, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    std::set<std::string> names;
    for (int model : known) {
        const char* name = aDefs_GetModelName(model);
        ASSERT_NE(name, nullptr);
        EXPECT_STRNE(name, "Unknown") << model;
        EXPECT_GT(strlen(name), 0u) << model;
        EXPECT_LE(strlen(name), 13u) << model;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), std::size(known));
}

TEST(ModelName, OtherNumbersAreUnknown)
{
    const int unknown[] = {-1, 0, 1, 2, 3, 6, 7, 8, 9, 10, 11, 12, 28, 29, 255, 256, INT32_MAX, INT32_MIN};
    for (int model : unknown)
        EXPECT_STREQ(aDefs_GetModelName(model), "Unknown") << model;
}

} // namespace
