#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "aPacket.h"
#include "packetfifo.h"

namespace {

using namespace std::chrono_literals;

// Bound on every wait for another thread: reached only when something hangs.
constexpr auto kHangGuard = 20s;
constexpr uint64_t kLongWaitMs = 60000;

struct Fifo {
  uint64_t id = aPacketFifo_Create();
  ~Fifo() {
    if (id != 0) aPacketFifo_Destroy(&id);
  }
};

// A packet to address 2 whose first data byte tags it.
aErr PutTagged(uint64_t fifo, uint8_t tag, uint8_t address = 2) {
  aPacket* packet = aPacket_CreateWithData(address, 1, &tag);
  const aErr err = aPacketFifo_Put(fifo, packet);
  aPacket_Destroy(&packet);
  return err;
}

// Tag of a received packet, or -1 for none; frees the packet.
int TakeTag(aPacket* packet) {
  if (packet == nullptr) return -1;
  const int tag = packet->dataSize > 0 ? packet->data[0] : -2;
  aPacket_Destroy(&packet);
  return tag;
}

uint8_t TagIs(const aPacket* packet, const void* ref) {
  return packet->data[0] == *static_cast<const uint8_t*>(ref);
}

uint8_t TagIsEven(const aPacket* packet, const void*) {
  return packet->data[0] % 2 == 0;
}

uint8_t AddressIs(const aPacket* packet, const void* ref) {
  return packet->address == *static_cast<const uint8_t*>(ref);
}

std::vector<int> TakeAll(uint64_t fifo) {
  std::vector<int> tags;
  for (int tag; (tag = TakeTag(aPacketFifo_Get(fifo))) != -1;) tags.push_back(tag);
  return tags;
}

TEST(PacketFifo, IdsAreUniqueAndNonZero) {
  Fifo a, b;
  EXPECT_NE(a.id, 0u);
  EXPECT_NE(b.id, 0u);
  EXPECT_NE(a.id, b.id);
}

TEST(PacketFifo, GetReturnsPacketsInArrivalOrder) {
  Fifo fifo;
  EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);
  for (uint8_t tag = 1; tag <= 5; ++tag) ASSERT_EQ(PutTagged(fifo.id, tag), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 5u);
  EXPECT_EQ(TakeAll(fifo.id), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

TEST(PacketFifo, PutStoresACopy) {
  Fifo fifo;
  const uint8_t data[] = {7, 8};
  aPacket* packet = aPacket_CreateWithData(4, 2, data);
  ASSERT_EQ(aPacketFifo_Put(fifo.id, packet), aErrNone);
  packet->data[0] = 99;
  aPacket* out = aPacketFifo_Get(fifo.id);
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, packet);
  EXPECT_EQ(out->data[0], 7);
  EXPECT_EQ(out->address, 4);
  EXPECT_TRUE(aPacket_IsComplete(out));
  aPacket_Destroy(&out);
  aPacket_Destroy(&packet);
}

TEST(PacketFifo, PutRefusesInvalidPackets) {
  Fifo fifo;
  aPacket forged{};
  EXPECT_EQ(aPacketFifo_Put(fifo.id, &forged), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(fifo.id, nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

// Filtered take and drain against one queue 1..6.
struct FilterCase {
  const char* name;
  bool drain;
  aPacketFilterProc proc;
  uint8_t ref;
  std::vector<int> taken;
  std::vector<int> left;
};

class FifoFilter : public testing::TestWithParam<FilterCase> {};

TEST_P(FifoFilter, TakesAcceptedKeepsRestInOrder) {
  const FilterCase& c = GetParam();
  Fifo fifo;
  for (uint8_t tag = 1; tag <= 6; ++tag) ASSERT_EQ(PutTagged(fifo.id, tag), aErrNone);
  std::vector<int> taken;
  if (c.drain) {
    const size_t removed = aPacketFifo_DrainPackets(fifo.id, c.proc, &c.ref);
    EXPECT_EQ(removed, c.taken.size());
  } else {
    const int tag = TakeTag(aPacketFifo_GetFirst(fifo.id, c.proc, &c.ref));
    if (tag != -1) taken.push_back(tag);
    EXPECT_EQ(taken, c.taken);
  }
  EXPECT_EQ(TakeAll(fifo.id), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FifoFilter,
    testing::Values(FilterCase{"GetFirstMatch", false, TagIs, 4, {4}, {1, 2, 3, 5, 6}},
                    FilterCase{"GetFirstOfMany", false, TagIsEven, 0, {2}, {1, 3, 4, 5, 6}},
                    FilterCase{"GetFirstNoMatch", false, TagIs, 9, {}, {1, 2, 3, 4, 5, 6}},
                    FilterCase{"GetFirstNullFilter", false, nullptr, 0, {1}, {2, 3, 4, 5, 6}},
                    FilterCase{"DrainEven", true, TagIsEven, 0, {2, 4, 6}, {1, 3, 5}},
                    FilterCase{"DrainNone", true, TagIs, 9, {}, {1, 2, 3, 4, 5, 6}},
                    FilterCase{"DrainAll", true, nullptr, 0, {1, 2, 3, 4, 5, 6}, {}}),
    [](const testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(PacketFifo, OverflowEmptiesTheQueueAndCarriesOn) {
  Fifo fifo;
  for (int i = 0; i < aPACKETFIFO_MAX; ++i) ASSERT_EQ(PutTagged(fifo.id, static_cast<uint8_t>(i)), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1000u);
  EXPECT_EQ(PutTagged(fifo.id, 0xFF), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
  EXPECT_EQ(aPacketFifo_Get(fifo.id), nullptr);
  // The sequence window follows the reset: a filtered wait sees new packets.
  ASSERT_EQ(PutTagged(fifo.id, 42), aErrNone);
  const uint8_t want = 42;
  EXPECT_EQ(TakeTag(aPacketFifo_AwaitFirst(fifo.id, TagIs, &want, 1000)), 42);
}

TEST(PacketFifo, OverflowWhileAWaiterWatches) {
  Fifo fifo;
  const uint8_t want = 7;
  auto waiter = std::async(std::launch::async, [&] {
    return TakeTag(aPacketFifo_AwaitFirst(fifo.id, AddressIs, &want, kLongWaitMs));
  });
  for (int i = 0; i <= aPACKETFIFO_MAX; ++i) ASSERT_EQ(PutTagged(fifo.id, 1, 2), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
  ASSERT_EQ(PutTagged(fifo.id, 5, 7), aErrNone);
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 5);
}

// Every call on an id that names no FIFO answers harmlessly.
TEST(PacketFifo, UnknownIdsAnswerHarmlessly) {
  uint64_t destroyed = aPacketFifo_Create();
  ASSERT_EQ(aPacketFifo_Destroy(&destroyed), aErrNone);
  EXPECT_EQ(destroyed, 0u);
  uint64_t stale = destroyed;
  {
    Fifo f;
    stale = f.id;
  }
  for (uint64_t id : {uint64_t{0}, stale, ~uint64_t{0}}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(PutTagged(id, 1), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(id, nullptr, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_Await(id, 10), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, nullptr, nullptr, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, nullptr, nullptr), 0u);
    uint64_t copy = id;
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
  }
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(PacketFifo, AwaitTimesOutEmpty) {
  Fifo fifo;
  EXPECT_EQ(aPacketFifo_Await(fifo.id, 20), nullptr);
  const uint8_t want = 3;
  ASSERT_EQ(PutTagged(fifo.id, 1), aErrNone);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.id, TagIs, &want, 20), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 1u) << "refused packets stay queued";
}

TEST(PacketFifo, AwaitWakesOnPut) {
  Fifo fifo;
  auto waiter = std::async(std::launch::async, [&] { return TakeTag(aPacketFifo_Await(fifo.id, kLongWaitMs)); });
  ASSERT_EQ(PutTagged(fifo.id, 9), aErrNone);
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 9);
}

TEST(PacketFifo, WaitersWithDifferentFiltersGetTheirOwnPackets) {
  Fifo fifo;
  std::vector<std::future<int>> waiters;
  const uint8_t addresses[] = {4, 6, 8};
  for (const uint8_t& address : addresses)
    waiters.push_back(std::async(std::launch::async, [&fifo, &address] {
      return TakeTag(aPacketFifo_AwaitFirst(fifo.id, AddressIs, &address, kLongWaitMs));
    }));
  // Puts in reverse, with a packet nobody wants in between.
  ASSERT_EQ(PutTagged(fifo.id, 80, 8), aErrNone);
  ASSERT_EQ(PutTagged(fifo.id, 20, 2), aErrNone);
  ASSERT_EQ(PutTagged(fifo.id, 60, 6), aErrNone);
  ASSERT_EQ(PutTagged(fifo.id, 40, 4), aErrNone);
  std::vector<int> got;
  for (auto& w : waiters) {
    ASSERT_EQ(w.wait_for(kHangGuard), std::future_status::ready);
    got.push_back(w.get());
  }
  EXPECT_EQ(got, (std::vector<int>{40, 60, 80}));
  EXPECT_EQ(TakeAll(fifo.id), (std::vector<int>{20}));
}

// Records how often each tagged packet was offered.
struct OfferCounter {
  std::mutex mutex;
  std::map<int, int> offers;
  std::atomic<int> total{0};
  uint8_t wanted = 0;
};

uint8_t CountOffers(const aPacket* packet, const void* ref) {
  auto* counter = static_cast<OfferCounter*>(const_cast<void*>(ref));
  std::lock_guard<std::mutex> lock(counter->mutex);
  counter->offers[packet->data[0]]++;
  counter->total++;
  return packet->data[0] == counter->wanted;
}

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(PacketFifo, FilterSeesEachPacketOncePerCall) {
  Fifo fifo;
  OfferCounter counter;
  counter.wanted = 100;
  // Already queued before the call: offered once too.
  for (uint8_t tag = 1; tag <= 3; ++tag) ASSERT_EQ(PutTagged(fifo.id, tag), aErrNone);
  auto waiter = std::async(std::launch::async,
                           [&] { return TakeTag(aPacketFifo_AwaitFirst(fifo.id, CountOffers, &counter, kLongWaitMs)); });
  ASSERT_TRUE(WaitFor([&] { return counter.total >= 3; }));
  // Each unrelated packet wakes the waiter, which must offer only the new one.
  for (uint8_t tag = 10; tag < 40; ++tag) {
    ASSERT_EQ(PutTagged(fifo.id, tag), aErrNone);
    const int expected = tag - 10 + 4;
    ASSERT_TRUE(WaitFor([&] { return counter.total >= expected; }));
  }
  ASSERT_EQ(PutTagged(fifo.id, 100), aErrNone);
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 100);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 33u);
  std::lock_guard<std::mutex> lock(counter.mutex);
  EXPECT_EQ(counter.offers.size(), 34u);
  for (const auto& [tag, count] : counter.offers) EXPECT_EQ(count, 1) << "tag " << tag;
}

TEST(PacketFifo, DestroyWakesWaiters) {
  uint64_t plainId = aPacketFifo_Create(), filteredId = aPacketFifo_Create();
  const uint8_t want = 1;
  auto plain = std::async(std::launch::async, [plainId] { return aPacketFifo_Await(plainId, kLongWaitMs); });
  auto filtered = std::async(std::launch::async, [filteredId, &want] {
    return aPacketFifo_AwaitFirst(filteredId, TagIs, &want, kLongWaitMs);
  });
  ASSERT_EQ(PutTagged(filteredId, 2), aErrNone);  // refused: the waiter goes on waiting
  std::this_thread::sleep_for(20ms);  // lets both reach their wait (the test holds either way)
  for (uint64_t* id : {&plainId, &filteredId}) {
    ASSERT_EQ(aPacketFifo_Destroy(id), aErrNone);
    EXPECT_EQ(*id, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(id), aErrNotFound);
  }
  ASSERT_EQ(plain.wait_for(kHangGuard), std::future_status::ready);
  ASSERT_EQ(filtered.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(plain.get(), nullptr);
  EXPECT_EQ(filtered.get(), nullptr);
}

TEST(PacketFifo, SignalEndsWaitsThatBeganBefore) {
  Fifo fifo;
  const uint64_t before = aPacketFifo_SignalCount(fifo.id);
  auto waiter = std::async(std::launch::async, [&] { return aPacketFifo_AwaitSince(fifo.id, kLongWaitMs, before); });
  ASSERT_EQ(aPacketFifo_Signal(fifo.id), aErrNone);
  ASSERT_EQ(waiter.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiter.get(), nullptr);
  // A signal that came before the wait began is not missed either.
  ASSERT_EQ(PutTagged(fifo.id, 1), aErrNone);
  EXPECT_EQ(aPacketFifo_AwaitFirstSince(fifo.id, nullptr, nullptr, kLongWaitMs, before), nullptr);
  // A current count waits normally.
  EXPECT_EQ(TakeTag(aPacketFifo_AwaitSince(fifo.id, 1000, aPacketFifo_SignalCount(fifo.id))), 1);
  EXPECT_EQ(aPacketFifo_Signal(0), aErrNotFound);
}

// Producers and filtered consumers at once: every packet arrives exactly once.
TEST(PacketFifo, ConcurrentProducersAndConsumers) {
  Fifo fifo;
  constexpr int kProducers = 4, kPerProducer = 200;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        const uint8_t data[2] = {static_cast<uint8_t>(p), static_cast<uint8_t>(i)};
        aPacket* packet = aPacket_CreateWithData(static_cast<uint8_t>(2 + 2 * (p % 2)), 2, data);
        EXPECT_EQ(aPacketFifo_Put(fifo.id, packet), aErrNone);
        aPacket_Destroy(&packet);
      }
    });
  auto consume = [&](uint8_t address) {
    std::vector<int> seen(kProducers * kPerProducer, 0);
    for (int received = 0; received < kProducers / 2 * kPerProducer;) {
      aPacket* packet = aPacketFifo_AwaitFirst(fifo.id, AddressIs, &address, 10000);
      if (packet == nullptr) break;
      seen[packet->data[0] * kPerProducer + packet->data[1]]++;
      aPacket_Destroy(&packet);
      ++received;
    }
    return seen;
  };
  auto even = std::async(std::launch::async, consume, uint8_t{2});
  auto odd = std::async(std::launch::async, consume, uint8_t{4});
  for (auto& t : producers) t.join();
  ASSERT_EQ(even.wait_for(kHangGuard), std::future_status::ready);
  ASSERT_EQ(odd.wait_for(kHangGuard), std::future_status::ready);
  const std::vector<int> a = even.get(), b = odd.get();
  for (int k = 0; k < kProducers * kPerProducer; ++k) {
    const bool evenProducer = (k / kPerProducer) % 2 == 0;
    EXPECT_EQ(a[k], evenProducer ? 1 : 0) << k;
    EXPECT_EQ(b[k], evenProducer ? 0 : 1) << k;
  }
  EXPECT_EQ(aPacketFifo_GetLength(fifo.id), 0u);
}

// Destroying while other threads store and take must neither crash nor hang.
TEST(PacketFifo, DestroyDuringTraffic) {
  uint64_t id = aPacketFifo_Create();
  std::atomic<bool> stop{false};
  auto producer = std::async(std::launch::async, [&, id] {
    while (!stop) PutTagged(id, 1);
  });
  auto consumer = std::async(std::launch::async, [&, id] {
    while (!stop) TakeTag(aPacketFifo_Await(id, 5));
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  std::this_thread::sleep_for(5ms);
  stop = true;
  ASSERT_EQ(producer.wait_for(kHangGuard), std::future_status::ready);
  ASSERT_EQ(consumer.wait_for(kHangGuard), std::future_status::ready);
}

}  // namespace
