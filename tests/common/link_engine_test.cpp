// The link engine over an in-process stream, driven by scripted module bytes.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "ScriptedModule.h"
#include "aLink.h"

namespace {

using scripted::Bytes;
using scripted::kHangGuard;
using scripted::Module;
using scripted::Pipe;
using namespace std::chrono_literals;

constexpr uint64_t kLongWaitMs = 60000;
const Bytes kRouteOn = {0xAF, 0x01, 0x01};
const Bytes kRouteOff = {0xAF, 0x01, 0x00};
const Bytes kAnnouncement = {0xAD, 0x00};

struct TestLink {
  std::shared_ptr<Pipe> pipe = std::make_shared<Pipe>();
  uint32_t id = aLink_Create(Pipe::CreateStream(pipe));
  TestLink() {
    // The route-on packet is the first thing every started link sends.
    EXPECT_TRUE(pipe->WaitWritten(kRouteOn.size()));
  }
  ~TestLink() {
    pipe->HoldWrites(false);  // a failed test must not leave the writer stuck
    if (id != 0) aLink_Destroy(&id);
  }
  size_t Mark() const { return pipe->Written().size(); }
  Bytes WrittenFrom(size_t mark) const {
    const Bytes all = pipe->Written();
    return Bytes(all.begin() + static_cast<long>(mark), all.end());
  }
};

template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

Bytes Repeat(const Bytes& unit, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

Bytes Wire(const aPacket* packet) {
  Bytes out(packet->dataSize + 2u);
  size_t size = 0;
  EXPECT_EQ(aPacket_GetBytes(packet, out.data(), out.size(), &size), aErrNone);
  return out;
}

aErr PutTo(uint32_t link, uint8_t address, const Bytes& data) {
  const uint8_t none = 0;
  aPacket* packet =
      aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.empty() ? &none : data.data());
  const aErr err = aLink_PutPacket(link, packet);
  aPacket_Destroy(&packet);
  return err;
}

TEST(LinkEngine, StartsRunningAndSendsRouteOn) {
  TestLink link;
  ASSERT_NE(link.id, 0u);
  EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
  EXPECT_EQ(link.pipe->Written(), kRouteOn);
}

TEST(LinkEngine, CreateRefusesNullStream) {
  EXPECT_EQ(aLink_Create(nullptr), 0u);
}

// What one burst of module bytes leaves in the inbound queue and what the
// engine answers on its own.
struct InboundCase {
  const char* name;
  Bytes fed;
  std::vector<Bytes> filed;  // wire forms, in order
  Bytes answered;
};

class LinkInbound : public testing::TestWithParam<InboundCase> {};

TEST_P(LinkInbound, FilesPacketsAndAnswersHeartbeats) {
  const InboundCase& c = GetParam();
  TestLink link;
  const size_t mark = link.Mark();
  link.pipe->Feed(c.fed);
  ASSERT_TRUE(link.pipe->WaitDrained());
  ASSERT_TRUE(link.pipe->WaitWritten(mark + c.answered.size()));
  std::vector<Bytes> filed;
  for (aPacket* p; (p = aLink_GetPacket(link.id)) != nullptr; aPacket_Destroy(&p)) filed.push_back(Wire(p));
  EXPECT_EQ(filed, c.filed);
  EXPECT_EQ(link.WrittenFrom(mark), c.answered);
  EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkInbound,
    testing::Values(
        InboundCase{"EmptyPacket", {0x04, 0x00}, {{0x04, 0x00}}, {}},
        InboundCase{"PacketsBackToBack",
                    {0x04, 0x01, 0x33, 0x06, 0x03, 1, 2, 3},
                    {{0x04, 0x01, 0x33}, {0x06, 0x03, 1, 2, 3}},
                    {}},
        InboundCase{"HeartbeatDown", {0x04, 0x02, 0x00, 0x01}, {}, {0x04, 0x02, 0x00, 0x03}},
        InboundCase{"HeartbeatUp", {0x08, 0x02, 0x00, 0x00}, {}, {0x08, 0x02, 0x00, 0x02}},
        InboundCase{"HeartbeatOtherState", {0x08, 0x02, 0x00, 0x07}, {}, {0x08, 0x02, 0x00, 0x09}},
        InboundCase{"NotAHeartbeat", {0x04, 0x02, 0x01, 0x00}, {{0x04, 0x02, 0x01, 0x00}}, {}},
        InboundCase{"ThreeBytesStartingWithZero", {0x04, 0x03, 0x00, 0x01, 0x02}, {{0x04, 0x03, 0x00, 0x01, 0x02}}, {}},
        InboundCase{"HeartbeatBetweenPackets",
                    {0x04, 0x00, 0x04, 0x02, 0x00, 0x00, 0x06, 0x01, 0x09},
                    {{0x04, 0x00}, {0x06, 0x01, 0x09}},
                    {0x04, 0x02, 0x00, 0x02}}),
    [](const testing::TestParamInfo<InboundCase>& info) { return std::string(info.param.name); });

struct FilterTap {
  std::mutex mutex;
  std::vector<Bytes> seen;
};

bool TapHeartbeats(const aPacket* packet, void* ref) {
  auto* tap = static_cast<FilterTap*>(ref);
  std::lock_guard<std::mutex> lock(tap->mutex);
  tap->seen.push_back(Wire(packet));
  return packet->dataSize == 2 && packet->data[0] == 0;
}

TEST(LinkEngine, UserFilterSeesPacketsFirstAndConsumesHeartbeats) {
  TestLink link;
  FilterTap tap;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, TapHeartbeats, &tap), aErrNone);
  const size_t mark = link.Mark();
  link.pipe->Feed({0x04, 0x02, 0x00, 0x01, 0x04, 0x01, 0x55});
  ASSERT_TRUE(link.pipe->WaitDrained());
  aPacket* filed = aLink_AwaitPacket(link.id, 1000);
  ASSERT_NE(filed, nullptr);
  EXPECT_EQ(Wire(filed), (Bytes{0x04, 0x01, 0x55}));
  aPacket_Destroy(&filed);
  EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, nullptr, nullptr), aErrNone);
  {
    std::lock_guard<std::mutex> lock(tap.mutex);
    EXPECT_EQ(tap.seen, (std::vector<Bytes>{{0x04, 0x02, 0x00, 0x01}, {0x04, 0x01, 0x55}}));
  }
  // Removed again: the next heartbeat is answered by the engine.
  link.pipe->Feed({0x04, 0x02, 0x00, 0x00});
  ASSERT_TRUE(link.pipe->WaitWritten(mark + 4));
  EXPECT_EQ(link.WrittenFrom(mark), (Bytes{0x04, 0x02, 0x00, 0x02}));
  EXPECT_EQ(aLink_InstallUserPacketFilter(0, nullptr, nullptr), aErrParam);
}

// Framing faults start a handshake; module answers bring the link back.
struct SyncCase {
  const char* name;
  Bytes fault;    // bytes that throw the link out of step
  Bytes answers;  // module bytes during the handshake
  bool synced;
};

class LinkResync : public testing::TestWithParam<SyncCase> {};

TEST_P(LinkResync, HandshakeAfterFramingFault) {
  const SyncCase& c = GetParam();
  TestLink link;
  const size_t mark = link.Mark();
  link.pipe->Feed(c.fault);
  ASSERT_TRUE(link.pipe->WaitWritten(mark + 6 * kAnnouncement.size()));
  const Bytes announced = link.WrittenFrom(mark);
  EXPECT_EQ(Bytes(announced.begin(), announced.begin() + 12), Repeat(kAnnouncement, 6));
  ASSERT_TRUE(link.pipe->WaitDrained());
  EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusSyncing);
  link.pipe->Feed(c.answers);
  ASSERT_TRUE(link.pipe->WaitDrained());
  EXPECT_EQ(aLink_GetStatus(link.id), c.synced ? kLinkStatusRunning : kLinkStatusSyncing);
  // Handshake bytes never reach the inbound queue.
  EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkResync,
    testing::Values(SyncCase{"OddAddress", {0x05, 0x00}, {0x06, 0x00, 0x06, 0x00}, true},
                    SyncCase{"LengthTooLarge", {0x04, 0x1D}, {0x06, 0x00, 0x06, 0x00}, true},
                    SyncCase{"ZeroAddress", {0x00}, {0x06, 0x00, 0x06, 0x00}, true},
                    SyncCase{"AddressChangesMidway", {0x05, 0x00}, {0x06, 0x00, 0x08, 0x00}, false},
                    SyncCase{"NonZeroLength", {0x05, 0x00}, {0x06, 0x01, 0x06, 0x00}, false},
                    SyncCase{"OddAnswer", {0x05, 0x00}, {0x07, 0x00, 0x07, 0x00}, false},
                    SyncCase{"LateInStep", {0x05, 0x00}, {0x06, 0x00, 0x08, 0x00, 0x06, 0x00, 0x06, 0x00}, true}),
    [](const testing::TestParamInfo<SyncCase>& info) { return std::string(info.param.name); });

TEST(LinkEngine, SyncWithAnsweringModule) {
  TestLink link;
  Module module(link.pipe, Module::AnswerSync(0x06));
  EXPECT_EQ(aLink_Sync(link.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
  // Surplus answers were drained; packets flow again.
  EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
  link.pipe->Feed({0x06, 0x01, 0x42});
  aPacket* packet = aLink_AwaitPacket(link.id, 5000);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x06, 0x01, 0x42}));
  aPacket_Destroy(&packet);
}

TEST(LinkEngine, SyncFailsWithSilentModule) {
  TestLink link;
  EXPECT_EQ(aLink_Sync(link.id), aErrNotReady);
  EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusSyncing);
  EXPECT_EQ(aLink_Sync(0), aErrParam);
  // Unanswered announcements are repeated, but not in a flood.
  const size_t announced = link.pipe->Written().size() / kAnnouncement.size();
  EXPECT_GE(announced, 6u);
  EXPECT_LE(announced, 6u * 30);
}

TEST(LinkEngine, AwaitFirstOutOfStepReturnsAtOnce) {
  TestLink link;
  link.pipe->Feed({0x05, 0x00});
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == kLinkStatusSyncing; }));
  auto waiter = std::async(std::launch::async,
                           [&] { return aLink_AwaitFirst(link.id, nullptr, nullptr, kLongWaitMs); });
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiter.get(), nullptr);
}

TEST(LinkEngine, AwaitFirstEndsWhenLinkLeavesStep) {
  TestLink link;
  auto waiter = std::async(std::launch::async,
                           [&] { return aLink_AwaitFirst(link.id, nullptr, nullptr, kLongWaitMs); });
  std::this_thread::sleep_for(20ms);  // usually inside the wait by now; holds either way
  link.pipe->Feed({0x05, 0x00});
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiter.get(), nullptr);
}

uint8_t AddressIs(const aPacket* packet, const void* ref) {
  return packet->address == *static_cast<const uint8_t*>(ref);
}

TEST(LinkEngine, AwaitFirstTakesTheWantedPacket) {
  TestLink link;
  const uint8_t want = 0x0A;
  auto waiter = std::async(std::launch::async,
                           [&] { return aLink_AwaitFirst(link.id, AddressIs, &want, kLongWaitMs); });
  link.pipe->Feed({0x08, 0x01, 0x01, 0x0A, 0x01, 0x02});
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  aPacket* packet = waiter.get();
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(Wire(packet), (Bytes{0x0A, 0x01, 0x02}));
  aPacket_Destroy(&packet);
  EXPECT_EQ(aLink_DrainPackets(link.id, nullptr, nullptr), 1u);
  EXPECT_EQ(aLink_AwaitFirst(link.id, AddressIs, &want, 10), nullptr);
}

// Pooled and plain writes: how the queued packets are cut into writes.
struct PoolCase {
  const char* name;
  bool pooled;
  int packets;
  uint8_t dataSize;
  std::vector<size_t> writes;  // sizes after the route-on write
};

class LinkWriter : public testing::TestWithParam<PoolCase> {};

TEST_P(LinkWriter, CutsQueuedPacketsIntoWrites) {
  const PoolCase& c = GetParam();
  TestLink link;
  ASSERT_EQ(aLink_EnablePooledPackets(link.id, c.pooled), aErrNone);
  // Keeps the writer busy while the whole batch is queued.
  link.pipe->HoldWrites(true);
  const Bytes hold = {0x02, 0x00};
  ASSERT_EQ(PutTo(link.id, 0x02, {}), aErrNone);
  ASSERT_TRUE(link.pipe->WaitBlockedWrite());
  Bytes expected = Bytes(kRouteOn);
  expected.insert(expected.end(), hold.begin(), hold.end());
  for (int i = 0; i < c.packets; ++i) {
    Bytes data(c.dataSize, static_cast<uint8_t>(i));
    ASSERT_EQ(PutTo(link.id, 0x04, data), aErrNone);
    expected.push_back(0x04);
    expected.push_back(c.dataSize);
    expected.insert(expected.end(), data.begin(), data.end());
  }
  link.pipe->HoldWrites(false);
  ASSERT_TRUE(link.pipe->WaitWritten(expected.size()));
  EXPECT_EQ(link.pipe->Written(), expected);
  std::vector<size_t> sizes = link.pipe->WriteSizes();
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], kRouteOn.size());
  EXPECT_EQ(sizes[1], hold.size());
  EXPECT_EQ(std::vector<size_t>(sizes.begin() + 2, sizes.end()), c.writes);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkWriter,
                         testing::Values(PoolCase{"PlainOneWriteEach", false, 3, 5, {7, 7, 7}},
                                         PoolCase{"PooledEmptyPackets", true, 200, 0, {400}},
                                         PoolCase{"PooledFullPackets", true, 200, 28, {136 * 30, 64 * 30}},
                                         PoolCase{"PooledSingle", true, 1, 28, {30}}),
                         [](const testing::TestParamInfo<PoolCase>& info) { return std::string(info.param.name); });

TEST(LinkEngine, DestroyFlushesQueuedPacketsAndRouteOff) {
  auto pipe = std::make_shared<Pipe>();
  uint32_t id = aLink_Create(Pipe::CreateStream(pipe));
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(pipe->WaitWritten(kRouteOn.size()));
  pipe->HoldWrites(true);
  ASSERT_EQ(PutTo(id, 0x02, {0x01}), aErrNone);
  ASSERT_TRUE(pipe->WaitBlockedWrite());
  ASSERT_EQ(PutTo(id, 0x02, {0x02}), aErrNone);
  ASSERT_EQ(PutTo(id, 0x02, {0x03}), aErrNone);
  auto destroyer = std::async(std::launch::async, [&id] { return aLink_Destroy(&id); });
  std::this_thread::sleep_for(20ms);
  pipe->HoldWrites(false);
  ASSERT_EQ(destroyer.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(destroyer.get(), aErrNone);
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(pipe->Deleted()) << "the link owns its stream";
  const Bytes expected = {0xAF, 0x01, 0x01, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x01, 0x03, 0xAF, 0x01, 0x00};
  EXPECT_EQ(pipe->Written(), expected);
}

// The writer may be anywhere in its loop when the link stops; the route-off
// packet must go out every time.
TEST(LinkEngine, EveryStopSendsRouteOff) {
  for (int round = 0; round < 30; ++round) {
    auto pipe = std::make_shared<Pipe>();
    uint32_t id = aLink_Create(Pipe::CreateStream(pipe));
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(pipe->WaitWritten(kRouteOn.size()));
    if (round % 2 == 1) {
      ASSERT_EQ(PutTo(id, 0x02, {0x01}), aErrNone);
    }
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    const Bytes written = pipe->Written();
    ASSERT_GE(written.size(), kRouteOff.size());
    EXPECT_EQ(Bytes(written.end() - 3, written.end()), kRouteOff) << "round " << round;
  }
}

TEST(LinkEngine, StatusFollowsStreamFailureAndRecovery) {
  TestLink link;
  Module module(link.pipe, Module::AnswerSync(0x04));
  link.pipe->FailReads(aErrIO);
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == kLinkStatusIOError; }));
  // Filtered waits fail fast while the stream is broken.
  EXPECT_EQ(aLink_AwaitFirst(link.id, nullptr, nullptr, kLongWaitMs), nullptr);
  link.pipe->FailReads(aErrNone);
  // Readable again: the link announces itself and is back in step.
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == kLinkStatusRunning; }));
  // The six announcements went out (the module may still be reading some).
  EXPECT_TRUE(link.pipe->WaitWritten(kRouteOn.size() + 6 * kAnnouncement.size()));
  const uint32_t id = link.id;
  aLink_Destroy(&link.id);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusInvalid);
}

TEST(LinkEngine, IdleReaderDoesNotSpinOnImmediateNotReady) {
  TestLink link;
  link.pipe->ImmediateNotReady(true);
  const uint64_t before = link.pipe->GetCalls();
  std::this_thread::sleep_for(300ms);
  const uint64_t calls = link.pipe->GetCalls() - before;
  // Backing off to 10 ms allows about 40 reads here; a spinning reader makes millions.
  EXPECT_LT(calls, 1000u);
  link.pipe->ImmediateNotReady(false);
  // Still answers promptly once bytes come.
  link.pipe->Feed({0x04, 0x00});
  aPacket* packet = aLink_AwaitPacket(link.id, 5000);
  ASSERT_NE(packet, nullptr);
  aPacket_Destroy(&packet);
}

TEST(LinkEngine, PacketLogRecordsTrafficAndText) {
  TestLink link;
  EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNotReady);
  uint8_t kind = 0;
  uint8_t data[255];
  uint32_t length = sizeof data;
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &kind, &length, data), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(link.id, 3, 1, data), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 0x4000001), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 4096), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 1024), aErrBusy);
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &kind, &length, data), aErrNotFound);

  const uint8_t start[] = "START";
  ASSERT_EQ(aLink_PacketDebug_Write(link.id, 3, sizeof start, start), aErrNone);
  const size_t mark = link.Mark();
  ASSERT_EQ(PutTo(link.id, 0x06, {0x10, 0x20}), aErrNone);
  ASSERT_TRUE(link.pipe->WaitWritten(mark + 4));
  link.pipe->Feed({0x06, 0x01, 0x77});
  aPacket* answer = aLink_AwaitPacket(link.id, 5000);
  ASSERT_NE(answer, nullptr);
  aPacket_Destroy(&answer);
  EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);

  std::vector<std::pair<int, Bytes>> records;
  for (;;) {
    length = sizeof data;
    if (aLink_PacketDebug_Read(link.id, &kind, &length, data) != aErrNone) break;
    records.emplace_back(kind, Bytes(data, data + length));
  }
  const std::vector<std::pair<int, Bytes>> expected = {
      {3, Bytes(start, start + sizeof start)}, {1, {0x06, 0x02, 0x10, 0x20}}, {2, {0x06, 0x01, 0x77}}};
  EXPECT_EQ(records, expected);
  const Bytes tooLong(256, 1);
  EXPECT_EQ(aLink_PacketDebug_Write(link.id, 3, 256, tooLong.data()), aErrOverrun);
}

TEST(LinkEngine, UnknownIdsAnswerHarmlessly) {
  for (uint32_t id : {0u, 0x7FFFFFF0u}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusInvalid);
    EXPECT_EQ(aLink_Start(id), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(id, 1), aErrNotFound);
    EXPECT_EQ(PutTo(id, 2, {}), aErrParam);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(id, 10), nullptr);
    EXPECT_EQ(aLink_GetFirst(id, nullptr, nullptr), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(id, nullptr, nullptr, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(id, nullptr, nullptr), 0u);
    EXPECT_EQ(aLink_EnablePooledPackets(id, true), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 10), aErrParam);
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    uint32_t copy = id;
    EXPECT_EQ(aLink_Destroy(&copy), aErrParam);
    EXPECT_EQ(copy, 0u);
  }
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
}

}  // namespace
