#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aPacket.h"

namespace {

struct PacketPtr {
  aPacket* p;
  explicit PacketPtr(aPacket* packet) : p(packet) {}
  ~PacketPtr() {
    if (p != nullptr) aPacket_Destroy(&p);
  }
  PacketPtr(const PacketPtr&) = delete;
  PacketPtr& operator=(const PacketPtr&) = delete;
};

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
  std::vector<uint8_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Feeds bytes one at a time; every byte but the last must be accepted.
struct AssemblyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  aErr lastResult;
  bool completeAfter;
  uint8_t address;
  uint8_t dataSize;
};

class PacketAssembly : public testing::TestWithParam<AssemblyCase> {};

TEST_P(PacketAssembly, FeedsByteByByte) {
  const AssemblyCase& c = GetParam();
  PacketPtr packet(aPacket_Create());
  ASSERT_NE(packet.p, nullptr);
  EXPECT_FALSE(aPacket_IsComplete(packet.p));
  for (size_t i = 0; i + 1 < c.bytes.size(); ++i) {
    ASSERT_EQ(aPacket_AddByte(packet.p, c.bytes[i]), aErrNone) << "byte " << i;
  }
  EXPECT_EQ(aPacket_AddByte(packet.p, c.bytes.back()), c.lastResult);
  // After an error the assembly is reset by the caller; its fields mean nothing.
  if (c.lastResult == aErrNone) {
    EXPECT_EQ(aPacket_IsComplete(packet.p), c.completeAfter);
    EXPECT_EQ(packet.p->address, c.address);
    EXPECT_EQ(packet.p->dataSize, c.dataSize);
    if (c.completeAfter) {
      EXPECT_EQ(0, std::memcmp(packet.p->data, c.bytes.data() + 2, c.dataSize));
    }
  }
}

const std::vector<uint8_t> kFull = Concat({0x04, 28}, Bytes(28, 0x40));

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketAssembly,
    testing::Values(
        AssemblyCase{"EmptyPacketCompletesAtLength", {0x02, 0x00}, aErrNone, true, 0x02, 0},
        AssemblyCase{"ByteAfterEmptyPacket", {0x02, 0x00, 0x05}, aErrPacket, false, 0, 0},
        AssemblyCase{"ByteAfterCompletePacket", {0x06, 0x01, 0x33, 0x00}, aErrPacket, false, 0, 0},
        AssemblyCase{"LengthTooLarge", {0x02, 29}, aErrPacket, false, 0, 0},
        AssemblyCase{"ZeroAddress", {0x00}, aErrPacket, false, 0, 0},
        AssemblyCase{"AddressOnly", {0x08}, aErrNone, false, 0x08, 0},
        AssemblyCase{"ThreeDataBytes", {0x0A, 0x03, 1, 2, 3}, aErrNone, true, 0x0A, 3},
        AssemblyCase{"PartialData", {0x0A, 0x03, 1, 2}, aErrNone, false, 0x0A, 3},
        AssemblyCase{"FullPacket", kFull, aErrNone, true, 0x04, 28},
        AssemblyCase{"ByteAfterFullPacket", Concat(kFull, {0x99}), aErrOverrun, true, 0, 0}),
    [](const testing::TestParamInfo<AssemblyCase>& info) { return std::string(info.param.name); });

TEST(Packet, ResetRestartsAssembly) {
  PacketPtr packet(aPacket_Create());
  for (uint8_t b : {0x04, 0x02, 0x11, 0x22}) ASSERT_EQ(aPacket_AddByte(packet.p, b), aErrNone);
  ASSERT_TRUE(aPacket_IsComplete(packet.p));
  ASSERT_EQ(aPacket_Reset(packet.p), aErrNone);
  EXPECT_FALSE(aPacket_IsComplete(packet.p));
  EXPECT_EQ(packet.p->curSize, 0);
  EXPECT_EQ(packet.p->address, 0);
  EXPECT_EQ(packet.p->data[0], 0);
  for (uint8_t b : {0x06, 0x00}) ASSERT_EQ(aPacket_AddByte(packet.p, b), aErrNone);
  EXPECT_TRUE(aPacket_IsComplete(packet.p));
  EXPECT_EQ(packet.p->address, 0x06);
}

TEST(Packet, CreateWithDataLimits) {
  const std::vector<uint8_t> data = Bytes(29, 1);
  EXPECT_EQ(aPacket_CreateWithData(2, 29, data.data()), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(2, 1, nullptr), nullptr);
  PacketPtr empty(aPacket_CreateWithData(2, 0, data.data()));
  ASSERT_NE(empty.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(empty.p));
  PacketPtr full(aPacket_CreateWithData(2, 28, data.data()));
  ASSERT_NE(full.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(full.p));
  EXPECT_EQ(0, std::memcmp(full.p->data, data.data(), 28));
}

TEST(Packet, CopyIsIndependent) {
  const uint8_t data[] = {9, 8, 7};
  PacketPtr original(aPacket_CreateWithData(0x10, 3, data));
  PacketPtr copy(aPacket_Copy(original.p));
  ASSERT_NE(copy.p, nullptr);
  ASSERT_NE(copy.p, original.p);
  original.p->data[0] = 0;
  EXPECT_EQ(copy.p->address, 0x10);
  EXPECT_EQ(copy.p->dataSize, 3);
  EXPECT_EQ(copy.p->data[0], 9);
  EXPECT_TRUE(aPacket_IsComplete(copy.p));
}

TEST(Packet, InvalidPacketsAreRefused) {
  aPacket forged{};
  forged.check = 0x1234;
  EXPECT_EQ(aPacket_Copy(&forged), nullptr);
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
  EXPECT_EQ(aPacket_AddByte(&forged, 2), aErrParam);
  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  EXPECT_FALSE(aPacket_IsComplete(&forged));
  aPacket* forgedPtr = &forged;
  EXPECT_EQ(aPacket_Destroy(&forgedPtr), aErrParam);
  EXPECT_EQ(forgedPtr, &forged);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
  aPacket* none = nullptr;
  EXPECT_EQ(aPacket_Destroy(&none), aErrParam);
}

TEST(Packet, DestroyClearsPointer) {
  aPacket* packet = aPacket_Create();
  ASSERT_EQ(aPacket_Destroy(&packet), aErrNone);
  EXPECT_EQ(packet, nullptr);
}

TEST(Packet, GetBytesWritesWireForm) {
  const uint8_t data[] = {0xA1, 0xB2};
  PacketPtr packet(aPacket_CreateWithData(0x0C, 2, data));
  uint8_t out[8];
  std::memset(out, 0xEE, sizeof out);
  size_t written = 0;
  EXPECT_EQ(aPacket_GetBytes(packet.p, out, 3, &written), aErrOverrun);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(out[0], 0xEE) << "a short buffer must stay untouched";
  EXPECT_EQ(aPacket_GetBytes(packet.p, nullptr, 8, &written), aErrParam);
  ASSERT_EQ(aPacket_GetBytes(packet.p, out, 4, &written), aErrNone);
  EXPECT_EQ(written, 4u);
  const uint8_t expected[] = {0x0C, 0x02, 0xA1, 0xB2};
  EXPECT_EQ(0, std::memcmp(out, expected, 4));
  EXPECT_EQ(aPacket_GetBytes(packet.p, out, 4, nullptr), aErrNone);
}

struct FieldCase {
  const char* name;
  aErr (*getter)(const aPacket*, uint8_t*);
  uint8_t needed;  // data bytes the getter needs
  uint8_t expected;
};

class PacketField : public testing::TestWithParam<FieldCase> {};

TEST_P(PacketField, ReadsMaskedByteAndChecksLength) {
  const FieldCase& c = GetParam();
  const uint8_t data[] = {0xF7, 0xFF, 0xFF};
  uint8_t out = 0;
  PacketPtr full(aPacket_CreateWithData(2, 3, data));
  EXPECT_EQ(c.getter(full.p, &out), aErrNone);
  EXPECT_EQ(out, c.expected);
  EXPECT_EQ(c.getter(full.p, nullptr), aErrParam);
  PacketPtr shortPacket(aPacket_CreateWithData(2, static_cast<uint8_t>(c.needed - 1), data));
  out = 0x55;
  EXPECT_EQ(c.getter(shortPacket.p, &out), aErrPacket);
  EXPECT_EQ(out, 0x55);
  EXPECT_EQ(c.getter(shortPacket.p, nullptr), aErrParam);
  EXPECT_EQ(c.getter(nullptr, &out), aErrPacket);
}

INSTANTIATE_TEST_SUITE_P(Getters, PacketField,
                         testing::Values(FieldCase{"Cmd", aPacket_GetCmd, 1, 0xF7},
                                         FieldCase{"Option", aPacket_GetOption, 2, 0x3F},
                                         FieldCase{"Index", aPacket_GetIndex, 3, 0x1F}),
                         [](const testing::TestParamInfo<FieldCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(UEI, BigEndianValuesRoundTrip) {
  uint8_t buf[4] = {};
  aUEI_StoreShort(buf, 0x1234);
  EXPECT_EQ(buf[0], 0x12);
  EXPECT_EQ(buf[1], 0x34);
  EXPECT_EQ(aUEI_RetrieveShort(buf), 0x1234);
  aUEI_StoreInt(buf, 0xA1B2C3D4);
  const uint8_t expected[] = {0xA1, 0xB2, 0xC3, 0xD4};
  EXPECT_EQ(0, std::memcmp(buf, expected, 4));
  EXPECT_EQ(aUEI_RetrieveInt(buf), 0xA1B2C3D4u);
  EXPECT_EQ(aUEI_RetrieveShort(nullptr), 0);
  EXPECT_EQ(aUEI_RetrieveInt(nullptr), 0u);
  aUEI_StoreInt(nullptr, 1);  // must not crash
}

TEST(UEI, ModifyIntBufferConvertsEachWord) {
  const uint8_t raw[] = {0x00, 0x00, 0x01, 0x02, 0xDE, 0xAD, 0xBE, 0xEF};
  uint32_t words[2];
  std::memcpy(words, raw, sizeof words);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x102u);
  EXPECT_EQ(words[1], 0xDEADBEEFu);
}

struct PayloadCase {
  const char* name;
  std::vector<uint8_t> data;
  bool notUEI;
  bool stream;
  uint8_t sequence;
  uint8_t more;
  bool full;
};

class UEIPayload : public testing::TestWithParam<PayloadCase> {};

TEST_P(UEIPayload, Classifies) {
  const PayloadCase& c = GetParam();
  PacketPtr packet(aPacket_CreateWithData(4, static_cast<uint8_t>(c.data.size()), c.data.data()));
  ASSERT_NE(packet.p, nullptr);
  EXPECT_EQ(aUEI_isNotUEIPayload(packet.p), c.notUEI);
  EXPECT_EQ(aUEI_isUEIPayload(packet.p), !c.notUEI);
  EXPECT_EQ(aUEI_isStreamPacket(packet.p), c.stream);
  EXPECT_EQ(aUEI_getBytesSequence(packet.p), c.sequence);
  EXPECT_EQ(aUEI_getBytesContinue(packet.p), c.more);
  EXPECT_EQ(aUEI_getBytesFullPacket(packet.p), c.full);
}

std::vector<uint8_t> Sized(std::vector<uint8_t> head, size_t size, uint8_t last) {
  head.resize(size, 0);
  head.back() = last;
  return head;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UEIPayload,
    testing::Values(
        PayloadCase{"Command0", {0, 1, 2}, true, false, 2, 0, false},
        PayloadCase{"Command3", {3, 1, 2}, false, false, 2, 0, false},
        PayloadCase{"Command175", {175}, true, false, 47, 1, false},
        PayloadCase{"Command94", {94, 0x80}, true, false, 0, 1, false},
        PayloadCase{"Stream", {3, 0x05, 0x41, 0, 7}, false, true, 7, 0, false},
        PayloadCase{"StreamFourBytesOnly", {3, 0x05, 0x41, 7}, false, false, 7, 0, false},
        PayloadCase{"StreamFlagInOption", {3, 0x45, 0x41, 0, 7}, false, false, 7, 0, false},
        PayloadCase{"StreamFlagClear", {3, 0x05, 0x01, 0, 7}, false, false, 7, 0, false},
        PayloadCase{"StreamOfNonUEICommand", {8, 0x05, 0x41, 0, 7}, true, false, 7, 0, false},
        PayloadCase{"FullChunkMore", Sized({3, 1, 2}, 28, 0x85), false, false, 5, 1, true},
        PayloadCase{"Chunk27Last", Sized({3, 1, 2}, 27, 0x03), false, false, 3, 0, true},
        PayloadCase{"Chunk26", Sized({3, 1, 2}, 26, 0x83), false, false, 3, 1, false}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

TEST(UEI, NullPacketAnswers) {
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

}  // namespace
