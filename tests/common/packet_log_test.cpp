#include <gtest/gtest.h>

#include <vector>

#include "aPacketLog.h"

namespace {

struct Record {
  uint8_t kind;
  std::vector<uint8_t> data;
  bool operator==(const Record&) const = default;
};

struct Log {
  aPacketLog* p;
  explicit Log(uint32_t capacity) : p(aPacketLog_Create(capacity)) {}
  ~Log() {
    if (p != nullptr) aPacketLog_Destroy(&p);
  }
  aErr Put(const Record& r) {
    return aPacketLog_Put(p, r.kind, static_cast<uint32_t>(r.data.size()), r.data.data());
  }
  std::vector<Record> Drain() {
    std::vector<Record> out;
    for (;;) {
      Record r{0, std::vector<uint8_t>(255)};
      uint32_t length = 255;
      if (aPacketLog_Get(p, &r.kind, &length, r.data.data()) != aErrNone) return out;
      r.data.resize(length);
      out.push_back(r);
    }
  }
};

Record Rec(uint8_t kind, uint8_t length, uint8_t first) {
  Record r{kind, std::vector<uint8_t>(length)};
  for (uint8_t i = 0; i < length; ++i) r.data[i] = static_cast<uint8_t>(first + i);
  return r;
}

// Records written in order into a ring of the given capacity, and those that
// must come back out (oldest dropped first).
struct RingCase {
  const char* name;
  uint32_t capacity;
  std::vector<Record> written;
  std::vector<Record> kept;
};

class PacketLogRing : public testing::TestWithParam<RingCase> {};

TEST_P(PacketLogRing, KeepsNewestRecords) {
  const RingCase& c = GetParam();
  Log log(c.capacity);
  ASSERT_NE(log.p, nullptr);
  for (const Record& r : c.written) ASSERT_EQ(log.Put(r), aErrNone);
  EXPECT_EQ(log.Drain(), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketLogRing,
    testing::Values(
        RingCase{"AllFit", 64, {Rec(1, 4, 0), Rec(2, 0, 0), Rec(3, 5, 9)}, {Rec(1, 4, 0), Rec(2, 0, 0), Rec(3, 5, 9)}},
        RingCase{"SixByteRecordsInSixteen",
                 16,
                 {Rec(1, 4, 0), Rec(2, 4, 10), Rec(1, 4, 20), Rec(2, 4, 30)},
                 {Rec(1, 4, 20), Rec(2, 4, 30)}},
        RingCase{"WrapsAroundTheEnd",
                 20,
                 {Rec(1, 7, 0), Rec(2, 7, 10), Rec(1, 7, 20), Rec(2, 7, 30), Rec(3, 3, 40)},
                 {Rec(2, 7, 30), Rec(3, 3, 40)}},
        RingCase{"LargeRecordPushesOutSeveral",
                 40,
                 {Rec(1, 2, 0), Rec(1, 2, 5), Rec(1, 2, 10), Rec(1, 2, 15), Rec(2, 30, 100)},
                 {Rec(1, 2, 15), Rec(2, 30, 100)}},
        RingCase{"LongestRecord", 300, {Rec(3, 255, 0)}, {Rec(3, 255, 0)}}),
    [](const testing::TestParamInfo<RingCase>& info) { return std::string(info.param.name); });

TEST(PacketLog, RefusesRecordsThatCanNeverFit) {
  Log log(16);
  EXPECT_EQ(log.Put(Rec(1, 14, 0)), aErrOverrun);
  EXPECT_EQ(log.Put(Rec(1, 13, 0)), aErrNone);
  Log big(1024);
  EXPECT_EQ(big.Put(Rec(3, 0, 0)), aErrNone);
  const std::vector<uint8_t> tooLong(256, 7);
  EXPECT_EQ(aPacketLog_Put(big.p, 3, 256, tooLong.data()), aErrOverrun);
  EXPECT_EQ(big.Drain(), (std::vector<Record>{Rec(3, 0, 0)}));
}

TEST(PacketLog, ShortBufferKeepsTheRecord) {
  Log log(64);
  ASSERT_EQ(log.Put(Rec(2, 6, 1)), aErrNone);
  uint8_t kind = 0, data[8];
  uint32_t length = 5;
  EXPECT_EQ(aPacketLog_Get(log.p, &kind, &length, data), aErrOverrun);
  EXPECT_EQ(length, 6u);
  length = 6;
  ASSERT_EQ(aPacketLog_Get(log.p, &kind, &length, data), aErrNone);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(data[5], 6);
  EXPECT_EQ(aPacketLog_Get(log.p, &kind, &length, data), aErrNotFound);
}

TEST(PacketLog, ArgumentChecks) {
  EXPECT_EQ(aPacketLog_Create(0x4000001), nullptr);
  EXPECT_EQ(aPacketLog_Create(2), nullptr);
  Log log(32);
  uint8_t kind = 0;
  uint32_t length = 4;
  EXPECT_EQ(aPacketLog_Put(log.p, 1, 3, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.p, nullptr, &length, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.p, &kind, nullptr, nullptr), aErrParam);
  aPacketLog* none = nullptr;
  EXPECT_EQ(aPacketLog_Destroy(&none), aErrParam);
  EXPECT_EQ(aPacketLog_Destroy(&log.p), aErrNone);
  EXPECT_EQ(log.p, nullptr);
}

}  // namespace
