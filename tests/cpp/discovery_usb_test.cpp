// USB enumeration through the kernel driver's device nodes (libusb finds no
// modules here): which nodes become specifiers, stopping, and the find helpers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TempDir.h"
#include "aDiscovery.h"

namespace {

class NodeDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_temp.ok());
        setenv("TESSALINE_DEVICE_DIR", m_dir.c_str(), 1);
    }
    void TearDown() override { unsetenv("TESSALINE_DEVICE_DIR"); }
    void node(const std::string& name)
    {
        FILE* file = fopen(m_temp.file(name).c_str(), "w");
        ASSERT_NE(file, nullptr);
        fclose(file);
    }
    TempDir m_temp;
    const std::string m_dir = m_temp.path();
};

struct Found {
    std::vector<linkSpec> specs;
    size_t acceptUpTo = SIZE_MAX;
    size_t stopAfter = SIZE_MAX;
};

bool collect(const linkSpec* spec, bool* accepted, void* ref)
{
    Found* found = static_cast<Found*>(ref);
    found->specs.push_back(*spec);
    *accepted = found->specs.size() <= found->acceptUpTo;
    return found->specs.size() < found->stopAfter;
}

TEST_F(NodeDirectory, ListsOnlyOpenableNodesInNameOrder)
{
    node("tessaline.12345678");
    node("tessaline.0000ABCD");
    node("tessaline.1234567");    // seven digits
    node("tessaline.123456789");  // nine digits
    node("tessaline.0000abcd");   // the stream opens upper-case names only
    node("tessaline.GGGGGGGG");
    node("tessaline.00000000");   // serial number 0 names no module
    node("other.11111111");
    ASSERT_EQ(mkdir((m_dir + "/tessaline.22222222").c_str(), 0755), 0);
    // A node that vanished, leaving a dangling link behind.
    ASSERT_EQ(symlink((m_dir + "/gone").c_str(), (m_dir + "/tessaline.33333333").c_str()), 0);

    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, aDiscovery_AnyInterface()), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    const uint32_t expected[] = {0x0000ABCD, 0x12345678};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(found.specs[i].type, USB);
        EXPECT_EQ(found.specs[i].serialNumber, expected[i]);
        EXPECT_EQ(found.specs[i].usbId, expected[i]);
        EXPECT_EQ(found.specs[i].model, 0u);
        EXPECT_EQ(found.specs[i].module, 0u);
        EXPECT_EQ(found.specs[i].router, 0u);
    }
}

TEST_F(NodeDirectory, CallbackControlsCountAndWalk)
{
    node("tessaline.00000001");
    node("tessaline.00000002");
    node("tessaline.00000003");
    struct Case {
        size_t acceptUpTo, stopAfter, calls;
        uint8_t count;
    } cases[] = {
        {SIZE_MAX, SIZE_MAX, 3, 3},  // all accepted
        {0, SIZE_MAX, 3, 0},         // seen but not accepted
        {SIZE_MAX, 1, 1, 1},         // stops after the first
        {1, 2, 2, 1},                // second refused, then stop
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "accept " << c.acceptUpTo << " stop " << c.stopAfter);
        Found found;
        found.acceptUpTo = c.acceptUpTo;
        found.stopAfter = c.stopAfter;
        EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, aDiscovery_AnyInterface()), c.count);
        EXPECT_EQ(found.specs.size(), c.calls);
    }
}

TEST_F(NodeDirectory, FindBySerialNumberAndFirst)
{
    node("tessaline.0000BEEF");
    node("tessaline.40F5849A");

    linkSpec* spec = aDiscovery_FindModule(USB, 0x40F5849A, aDiscovery_AnyInterface());
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, USB);
    EXPECT_EQ(spec->serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec->usbId, 0x40F5849Au);
    aLinkSpec_Destroy(&spec);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x0BADCAFE, aDiscovery_AnyInterface()), nullptr);

    spec = aDiscovery_FindFirstModule(USB, aDiscovery_AnyInterface());
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x0000BEEFu);
    aLinkSpec_Destroy(&spec);
}

TEST_F(NodeDirectory, MissingDirectoryListsNothing)
{
    setenv("TESSALINE_DEVICE_DIR", (m_dir + "/absent").c_str(), 1);
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, aDiscovery_AnyInterface()), 0);
    EXPECT_TRUE(found.specs.empty());
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, aDiscovery_AnyInterface()), nullptr);
}

TEST_F(NodeDirectory, TransportsWithoutEnumerationReturnAtOnce)
{
    node("tessaline.00000001");
    for (linkType type : {INVALID, SERIAL, static_cast<linkType>(8), static_cast<linkType>(255)}) {
        SCOPED_TRACE(static_cast<int>(type));
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(type, collect, &found, aDiscovery_AnyInterface()), 0);
        EXPECT_TRUE(found.specs.empty());
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, aDiscovery_AnyInterface()), 0);
}

}  // namespace
