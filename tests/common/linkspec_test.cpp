#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aLinkSpec.h"

namespace {

bool allZeroExcept(const linkSpec* spec, size_t from, size_t to)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(spec);
    for (size_t i = 0; i < sizeof(linkSpec); ++i) {
        if ((i < from || i >= to) && bytes[i] != 0)
            return false;
    }
    return true;
}

TEST(LinkSpecLayout, FieldsSitAtTheirWireOffsets)
{
    struct Field {
        const char* name;
        size_t offset;
        size_t expected;
        size_t size;
        size_t expectedSize;
    } fields[] = {
        {"type", offsetof(linkSpec, type), 0, sizeof(linkSpec::type), 4},
        {"serialNumber", offsetof(linkSpec, serialNumber), 4, sizeof(linkSpec::serialNumber), 4},
        {"module", offsetof(linkSpec, module), 8, sizeof(linkSpec::module), 4},
        {"router", offsetof(linkSpec, router), 12, sizeof(linkSpec::router), 4},
        {"routerSerialNumber", offsetof(linkSpec, routerSerialNumber), 16,
         sizeof(linkSpec::routerSerialNumber), 4},
        {"model", offsetof(linkSpec, model), 20, sizeof(linkSpec::model), 4},
        {"ipAddress", offsetof(linkSpec, ipAddress), 24, sizeof(linkSpec::ipAddress), 4},
        {"usbId", offsetof(linkSpec, usbId), 24, sizeof(linkSpec::usbId), 4},
        {"baudRate", offsetof(linkSpec, baudRate), 24, sizeof(linkSpec::baudRate), 4},
        {"ipPort", offsetof(linkSpec, ipPort), 28, sizeof(linkSpec::ipPort), 4},
        {"portName", offsetof(linkSpec, portName), 28, sizeof(linkSpec::portName), 100},
    };
    EXPECT_EQ(sizeof(linkSpec), 128u);
    for (const Field& f : fields) {
        EXPECT_EQ(f.offset, f.expected) << f.name;
        EXPECT_EQ(f.size, f.expectedSize) << f.name;
    }
    EXPECT_EQ(aLINKSPEC_DETAILS_OFFSET + aLINKSPEC_DETAILS_SIZE, sizeof(linkSpec));
}

TEST(LinkSpecLayout, IntegersAreLittleEndianOnTheWire)
{
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    spec.type = TCPIP;
    spec.serialNumber = 0x40F5849Au;
    spec.ipPort = 0x2694u;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&spec);
    const uint8_t expectedSerial[] = {0x9A, 0x84, 0xF5, 0x40};
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(memcmp(bytes + 4, expectedSerial, 4), 0);
    EXPECT_EQ(bytes[28], 0x94);
    EXPECT_EQ(bytes[29], 0x26);
}

TEST(LinkSpecLayout, PortNameOverlaysThePort)
{
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    strcpy(spec.portName, "/dev/ttyUSB0");
    EXPECT_EQ(spec.ipPort & 0xFFu, static_cast<uint32_t>('/'));
    EXPECT_EQ(reinterpret_cast<const char*>(&spec) + 28, spec.portName);
}

TEST(LinkTypes, ValuesAndNetworkedRange)
{
    const struct {
        linkType type;
        uint32_t value;
        bool networked;
    } cases[] = {
        {INVALID, 0, false}, {USB, 1, false},         {TCPIP, 2, false},
        {SERIAL, 3, false},  {NWEAVE, 4, true},       {NWEAVE_USB, 5, true},
        {NWEAVE_TCPIP, 6, true}, {NWEAVE_SERIAL, 7, true}, {static_cast<linkType>(8), 8, false},
        {static_cast<linkType>(255), 255, false},
    };
    static_assert(sizeof(linkType) == 4);
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<uint32_t>(c.type), c.value);
        EXPECT_EQ(aLinkSpec_IsNetworked(c.type), c.networked) << c.value;
    }
}

TEST(LinkSpecLife, CreateZeroesAllButTheType)
{
    const linkType types[] = {INVALID, USB, TCPIP, SERIAL, NWEAVE_SERIAL, static_cast<linkType>(255)};
    for (linkType type : types) {
        linkSpec* spec = aLinkSpec_Create(type);
        ASSERT_NE(spec, nullptr);
        EXPECT_EQ(spec->type, type);
        EXPECT_TRUE(allZeroExcept(spec, 0, 4)) << static_cast<uint32_t>(type);
        EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
        EXPECT_EQ(spec, nullptr);
    }
}

TEST(LinkSpecLife, CopyTakesAll128BytesAndIsIndependent)
{
    linkSpec source;
    auto* bytes = reinterpret_cast<uint8_t*>(&source);
    for (size_t i = 0; i < sizeof source; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    linkSpec* copy = aLinkSpec_Copy(&source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, &source);
    EXPECT_EQ(memcmp(copy, &source, sizeof source), 0);
    copy->serialNumber ^= 0xFFFFFFFFu;
    EXPECT_NE(copy->serialNumber, source.serialNumber);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
}

TEST(LinkSpecLife, DestroyOfNullIsRefused)
{
    linkSpec* spec = nullptr;
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);

    spec = aLinkSpec_Create(USB);
    ASSERT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam) << "a second destroy finds null";
}

} // namespace
