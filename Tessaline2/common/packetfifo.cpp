#include "packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace {

using Clock = std::chrono::steady_clock;

struct SerialPacket {
  aPacket packet;  // held by value: no packet memory is shared between threads
  int64_t id;      // unique and increasing within its FIFO
};

struct packetFifo {
  std::deque<SerialPacket> packets;  // oldest first
  std::condition_variable changed;
  std::mutex mutex;  // guards everything here
  std::atomic<bool> active{true};
  std::atomic<int64_t> windowStart{0};  // id of the oldest queued packet, or nextId
  std::atomic<int64_t> nextId{0};
  uint64_t signals = 0;

  void syncWindow() { windowStart = packets.empty() ? nextId.load() : packets.front().id; }
  void clearAndSyncWindow() {
    packets.clear();
    syncWindow();
  }
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator it) {
    packets.erase(it);
    syncWindow();
  }
};

struct FifoDictionary {
  std::mutex mutex;
  std::map<uint64_t, std::shared_ptr<packetFifo>> fifos;
};

// Never destroyed: link threads may still touch FIFOs while statics unwind.
FifoDictionary& gpPacketFifoDictionary() {
  static FifoDictionary* dictionary = new FifoDictionary;
  return *dictionary;
}

std::atomic<uint64_t> gpSequentialId{1};

std::shared_ptr<packetFifo> sLookup(uint64_t id) noexcept {
  if (id == 0) return nullptr;
  try {
    FifoDictionary& dictionary = gpPacketFifoDictionary();
    std::lock_guard<std::mutex> lock(dictionary.mutex);
    auto it = dictionary.fifos.find(id);
    return it == dictionary.fifos.end() ? nullptr : it->second;
  } catch (...) {
    return nullptr;
  }
}

bool sAccepts(aPacketFilterProc proc, const void* ref, const aPacket* packet) {
  return proc == nullptr || proc(packet, ref) != 0;
}

// The caller's copy is made before the stored one is erased, so a failed
// copy loses nothing.
aPacket* sStealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator it) {
  aPacket* copy = aPacket_Copy(&it->packet);
  if (copy != nullptr) fifo.eraseAndSyncWindow(it);
  return copy;
}

Clock::time_point sDeadline(uint64_t msTimeout) {
  // Keeps the nanosecond clock arithmetic from overflowing (about 100 years).
  constexpr uint64_t kLongest = 100ULL * 365 * 24 * 3600 * 1000;
  return Clock::now() + std::chrono::milliseconds(std::min(msTimeout, kLongest));
}

aPacket* sAwaitFirst(uint64_t id, aPacketFilterProc proc, const void* ref, uint64_t msTimeout,
                     const uint64_t* signalCount) noexcept {
  const Clock::time_point deadline = sDeadline(msTimeout);
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return nullptr;
  try {
    std::unique_lock<std::mutex> lock(fifo->mutex);
    const uint64_t signals = signalCount != nullptr ? *signalCount : fifo->signals;
    // Everything queued now is new to this call; each packet is offered once.
    int64_t lastSeen = fifo->windowStart - 1;
    bool found = false;
    std::deque<SerialPacket>::iterator hit;
    auto scan = [&]() {
      auto it = std::upper_bound(fifo->packets.begin(), fifo->packets.end(), lastSeen,
                                 [](int64_t seen, const SerialPacket& p) { return seen < p.id; });
      for (; it != fifo->packets.end(); ++it) {
        lastSeen = it->id;
        if (sAccepts(proc, ref, &it->packet)) {
          hit = it;
          return true;
        }
      }
      return false;
    };
    fifo->changed.wait_until(lock, deadline, [&]() {
      if (fifo->signals != signals || !fifo->active) return true;
      found = scan();
      return found;
    });
    if (!found || !fifo->active || fifo->signals != signals) return nullptr;
    return sStealPacketFromFifo(*fifo, hit);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

uint64_t aPacketFifo_Create() {
  uint64_t id = 0;
  do {
    id = gpSequentialId.fetch_add(1);
  } while (id == 0);
  try {
    auto fifo = std::make_shared<packetFifo>();
    FifoDictionary& dictionary = gpPacketFifoDictionary();
    std::lock_guard<std::mutex> lock(dictionary.mutex);
    dictionary.fifos.emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(uint64_t* id) {
  if (id == nullptr) return aErrParam;
  try {
    std::shared_ptr<packetFifo> fifo;
    {
      FifoDictionary& dictionary = gpPacketFifoDictionary();
      std::lock_guard<std::mutex> lock(dictionary.mutex);
      auto it = dictionary.fifos.find(*id);
      if (it == dictionary.fifos.end()) return aErrNotFound;
      fifo = std::move(it->second);
      dictionary.fifos.erase(it);
    }
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->active = false;
    }
    fifo->changed.notify_all();
    *id = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

size_t aPacketFifo_GetLength(uint64_t id) {
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return 0;
  try {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.size();
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Put(uint64_t id, const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAXDATA) return aErrParam;
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return aErrParam;
  try {
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      if (!fifo->active) return aErrParam;
      SerialPacket stored{*packet, fifo->nextId++};
      stored.packet.curSize = static_cast<uint8_t>(packet->dataSize + 2);
      fifo->packets.push_back(stored);
      if (fifo->packets.size() > aPACKETFIFO_MAX) {
        fifo->clearAndSyncWindow();
        return aErrNone;
      }
      fifo->syncWindow();
    }
    fifo->changed.notify_all();
    return aErrNone;
  } catch (const std::bad_alloc&) {
    return aErrResource;
  } catch (...) {
    return aErrUnknown;
  }
}

aPacket* aPacketFifo_Get(uint64_t id) {
  return aPacketFifo_GetFirst(id, nullptr, nullptr);
}

aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilterProc proc, const void* ref) {
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return nullptr;
  try {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it)
      if (sAccepts(proc, ref, &it->packet)) return sStealPacketFromFifo(*fifo, it);
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_Await(uint64_t id, uint64_t msTimeout) {
  return sAwaitFirst(id, nullptr, nullptr, msTimeout, nullptr);
}

aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilterProc proc, const void* ref,
                                uint64_t msTimeout) {
  return sAwaitFirst(id, proc, ref, msTimeout, nullptr);
}

aPacket* aPacketFifo_AwaitSince(uint64_t id, uint64_t msTimeout, uint64_t signalCount) {
  return sAwaitFirst(id, nullptr, nullptr, msTimeout, &signalCount);
}

aPacket* aPacketFifo_AwaitFirstSince(uint64_t id, aPacketFilterProc proc, const void* ref,
                                     uint64_t msTimeout, uint64_t signalCount) {
  return sAwaitFirst(id, proc, ref, msTimeout, &signalCount);
}

size_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilterProc proc, const void* ref) {
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return 0;
  try {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    const size_t before = fifo->packets.size();
    auto survivors = std::remove_if(fifo->packets.begin(), fifo->packets.end(),
                                    [&](const SerialPacket& p) { return sAccepts(proc, ref, &p.packet); });
    fifo->packets.erase(survivors, fifo->packets.end());
    fifo->syncWindow();
    return before - fifo->packets.size();
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Signal(uint64_t id) {
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return aErrNotFound;
  try {
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      ++fifo->signals;
    }
    fifo->changed.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

uint64_t aPacketFifo_SignalCount(uint64_t id) {
  std::shared_ptr<packetFifo> fifo = sLookup(id);
  if (fifo == nullptr) return 0;
  try {
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->signals;
  } catch (...) {
    return 0;
  }
}
