// Link engine: the reader and writer threads of one link, start, stop and
// handshake, the packet calls and the packet debug log.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "aDefs.h"
#include "aLinkRecord.h"
#include "aTime.h"
#include "packetfifo.h"

namespace {

constexpr int kStartPolls = 200;
constexpr uint64_t kPollMs = 10;
constexpr uint64_t kReadErrorPauseMs = 100;
constexpr uint64_t kSyncSettleMs = 100;
constexpr uint64_t kWriterWaitMs = 1000;
constexpr size_t kPoolBytes = 4096;
constexpr int kSyncAnnouncements = 6;
// A handshake that got no answer is announced again after this long idle.
// Streams that answer "not ready" every few milliseconds would otherwise
// flood the module with announcements.
constexpr uint64_t kSyncRetryMs = 250;
// Pacing of streams whose get procedure answers "not ready" without waiting:
// a read shorter than this counts as not having waited.
constexpr auto kIdleReadWaited = std::chrono::milliseconds(1);
constexpr auto kIdleBackoffFirst = std::chrono::microseconds(50);
constexpr auto kIdleBackoffMax = std::chrono::milliseconds(10);

// Holds a link lock for one scope; ok() tells whether it was had.
class SemaGuard {
 public:
  explicit SemaGuard(aMutex* mutex) aNO_THREAD_SAFETY_ANALYSIS : mutex_(mutex),
                                                                 ok_(aMutex_Lock(mutex) == aErrNone) {}
  ~SemaGuard() aNO_THREAD_SAFETY_ANALYSIS {
    if (ok_) aMutex_Unlock(mutex_);
  }
  bool ok() const { return ok_; }
  SemaGuard(const SemaGuard&) = delete;
  SemaGuard& operator=(const SemaGuard&) = delete;

 private:
  aMutex* mutex_;
  bool ok_;
};

aLinkRecord* sLink(uint32_t id) {
  aLinkRecord* link = aLinkRegistry_GetLink(id);
  return link != nullptr && link->check == aLINK_CHECK ? link : nullptr;
}

// Waiters on the inbound queue learn at once that the link left step.
void sSetStatus(aLinkRecord* link, uint32_t status) {
  const uint32_t old = link->status.exchange(status);
  if (old == kLinkStatusRunning && status != kLinkStatusRunning) aPacketFifo_Signal(link->inFifo);
}

aErr sQueue(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* data) {
  static const uint8_t kNoData[1] = {0};
  aPacket* packet = aPacket_CreateWithData(address, length, data != nullptr ? data : kNoData);
  if (packet == nullptr) return aErrMemory;
  const aErr err = aPacketFifo_Put(link->outFifo, packet);
  aPacket_Destroy(&packet);
  return err;
}

void sLogBytes(aLinkRecord* link, uint8_t kind, const uint8_t* bytes, size_t length) {
  if (link->packetLog.load() == nullptr) return;
  SemaGuard lock(link->logSema);
  if (lock.ok()) aPacketLog_Put(link->packetLog.load(), kind, static_cast<uint32_t>(length), bytes);
}

void sTrace(const char* who, uint32_t id, const aPacket* packet) {
  if (!aDebug_Enabled(aDEBUG_PACKET)) return;
  aDebug_Printf(aDEBUG_PACKET, " %s(%u) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", who, id,
                packet->address, packet->dataSize, packet->data[0], packet->data[1], packet->data[2]);
}

// ---- Reader thread.

void sStartSync(aLinkRecord* link) {
  aDebug_Printf(aDEBUG_LINK, "syncStart\n");
  sSetStatus(link, kLinkStatusSyncing);
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->rxPacket);
  link->lastSyncStartMs = aTime_GetMonotonicMSTicks();
  aErr err = aErrNone;
  for (int i = 0; i < kSyncAnnouncements; ++i) err = sQueue(link, kSyncAddress, 0, nullptr);
  if (err == aErrNone) link->syncState = kSyncStateByte1;
}

// Expects the module's answer, address A then length 0, twice in a row.
void sSyncByte(aLinkRecord* link, uint8_t byte) {
  aDebug_Printf(aDEBUG_LINK, "sByte %d\n", byte);
  const uint32_t state = link->syncState;
  switch (state) {
    case kSyncStateStart:
      aDebug_Printf(aDEBUG_LINK, "kSyncStateStart\n");
      sStartSync(link);
      break;
    case kSyncStateByte1:
      aDebug_Printf(aDEBUG_LINK, "kSyncStateByte1\n");
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2:
    case kSyncStateByte4:
      aDebug_Printf(aDEBUG_LINK, state == kSyncStateByte2 ? "sync2\n" : "sync4\n");
      if (byte != 0) {
        link->syncState = kSyncStateStart;
      } else if (state == kSyncStateByte2) {
        link->syncState = kSyncStateByte3;
      } else {
        link->syncState = kSyncStateInStep;
        sSetStatus(link, kLinkStatusRunning);
        aDebug_Printf(aDEBUG_LINK, "synced\n");
      }
      break;
    case kSyncStateByte3:
      aDebug_Printf(aDEBUG_LINK, "sync3\n");
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    default:
      aDebug_Printf(aDEBUG_LINK, "sync default\n");
      sStartSync(link);
      break;
  }
}

// Nothing to read: a link out of step (re)announces itself.
void sIdle(aLinkRecord* link) {
  const uint32_t status = link->status;
  if (status == kLinkStatusIOError) {
    sStartSync(link);
  } else if (status == kLinkStatusSyncing) {
    if (link->syncState == kSyncStateInStep ||
        aTime_GetMonotonicMSTicks() - link->lastSyncStartMs >= kSyncRetryMs)
      sStartSync(link);
  }
}

aErr sHandlePacket(aLinkRecord* link) {
  aPacket* packet = link->rxPacket;
  if (link->packetLog.load() != nullptr) {
    uint8_t wire[aPACKET_MAXWIRE];
    size_t size = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &size) == aErrNone)
      sLogBytes(link, kLinkLogReceived, wire, size);
  }
  bool consumed = false;
  {
    SemaGuard lock(link->userFilterSema);
    if (lock.ok() && link->userFilter != nullptr) consumed = link->userFilter(packet, link->userFilterRef);
  }
  aErr result = aErrNone;
  if (!consumed) {
    if (packet->dataSize == 2 && packet->data[0] == 0) {
      const uint8_t state = packet->data[1];
      aDebug_Printf(aDEBUG_PACKET, " sHandleHBBackChannel(%u) ==> received HB packet [data size = %d][%d,%d]\n",
                    link->linkId, packet->dataSize, packet->data[0], state);
      const uint8_t answer[2] = {0, static_cast<uint8_t>(state + 2)};
      if (state <= 1)
        aDebug_Printf(aDEBUG_PACKET, " sHandleHBBackChannel(%u) %s\n", link->linkId,
                      state == 0 ? "sending HB UP" : "sending HB DOWN");
      sQueue(link, packet->address, 2, answer);
    } else {
      sTrace("sHandlePacket", link->linkId, packet);
      result = aPacketFifo_Put(link->inFifo, packet);
    }
  }
  aPacket_Reset(packet);
  return result;
}

void sFeedByte(aLinkRecord* link, uint8_t byte) {
  if (link->status == kLinkStatusSyncing) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->rxPacket, byte) != aErrNone || (link->rxPacket->address & 1) != 0) {
    aDebug_Printf(aDEBUG_LINK, "Out of sync\n");
    sStartSync(link);
    return;
  }
  if (aPacket_IsComplete(link->rxPacket) && sHandlePacket(link) != aErrNone)
    sSetStatus(link, kLinkStatusPacketError);
}

// Keeps a stream that answers "not ready" without waiting from turning the
// reader into a busy loop; streams that wait by themselves are not slowed.
class IdlePacer {
 public:
  void Before() {
    if (idle_) start_ = std::chrono::steady_clock::now();
  }
  void NotReady() {
    const bool waited = !idle_ || std::chrono::steady_clock::now() - start_ >= kIdleReadWaited;
    idle_ = true;
    if (waited) {
      backoff_ = std::chrono::microseconds(0);
      return;
    }
    backoff_ = backoff_.count() == 0 ? kIdleBackoffFirst : std::min<std::chrono::microseconds>(backoff_ * 2, kIdleBackoffMax);
    std::this_thread::sleep_for(backoff_);
  }
  void Byte() {
    idle_ = false;
    backoff_ = std::chrono::microseconds(0);
  }

 private:
  bool idle_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::microseconds backoff_{0};
};

void* sInPipeProcess(void* ref) {
  aLinkRecord* link = static_cast<aLinkRecord*>(ref);
  link->syncAddress = 1;
  link->syncState = kSyncStateInStep;
  link->status = kLinkStatusRunning;
  link->inStarted = true;
  IdlePacer pacer;
  while (link->running) {
    uint8_t byte = 0;
    pacer.Before();
    const aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      sIdle(link);
      pacer.NotReady();
    } else if (err != aErrNone) {
      aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%u) IO_ERROR [aStream_Read()==>%d]\n", link->linkId, err);
      sSetStatus(link, kLinkStatusIOError);
      pacer.Byte();
      aTime_MSSleep(kReadErrorPauseMs);
    } else {
      pacer.Byte();
      sFeedByte(link, byte);
    }
  }
  aDebug_Printf(aDEBUG_LINK, " sInPipeProcess(%u) terminating\n", link->linkId);
  return nullptr;
}

// ---- Writer thread.

// Appends the packet's wire form, logs and frees it; the bytes written.
size_t sTakeOut(aLinkRecord* link, aPacket** packet, uint8_t* out, size_t room) {
  size_t size = 0;
  if (aPacket_GetBytes(*packet, out, room, &size) != aErrNone) size = 0;
  sTrace("sOutPipeProcess", link->linkId, *packet);
  if (size > 0) sLogBytes(link, kLinkLogWritten, out, size);
  aPacket_Destroy(packet);
  return size;
}

void* sOutPipeProcess(void* ref) {
  aLinkRecord* link = static_cast<aLinkRecord*>(ref);
  link->outStarted = true;
  uint8_t buffer[kPoolBytes];
  while (link->running) {
    const uint64_t signals = aPacketFifo_SignalCount(link->outFifo);
    if (!link->running) break;
    aPacket* packet = aPacketFifo_AwaitSince(link->outFifo, kWriterWaitMs, signals);
    if (packet == nullptr) continue;
    size_t used = sTakeOut(link, &packet, buffer, sizeof buffer);
    const bool pooled = link->pooled;
    while (pooled && used + aPACKET_MAXWIRE <= sizeof buffer) {
      aPacket* next = aPacketFifo_Get(link->outFifo);
      if (next == nullptr) break;
      used += sTakeOut(link, &next, buffer + used, sizeof buffer - used);
    }
    if (used == 0) continue;
    const aErr err = aStream_Write(link->stream, buffer, used);
    if (err != aErrNone)
      aDebug_Printf(aDEBUG_LINK, pooled ? "sOutPipeProcess error writing pooled: %d\n" : "sOutPipeProcess error writing: %d\n",
                    err);
  }
  // What is still queued goes out, the route-off packet among it.
  for (aPacket* packet; (packet = aPacketFifo_Get(link->outFifo)) != nullptr;) {
    const size_t size = sTakeOut(link, &packet, buffer, sizeof buffer);
    if (size > 0) aStream_Write(link->stream, buffer, size);
  }
  aDebug_Printf(aDEBUG_LINK, " sOutPipeProcess(%u) terminating\n", link->linkId);
  return nullptr;
}

bool sPoll(int polls, const std::function<bool()>& done) {
  for (int i = 0; i < polls; ++i) {
    if (done()) return true;
    aTime_MSSleep(kPollMs);
  }
  return done();
}

uint8_t sAcceptAll(const aPacket*, const void*) {
  return 1;
}

// Waits on the inbound queue, carrying on past signals while keepWaiting
// holds; null at the deadline.
aPacket* sAwaitInbound(aLinkRecord* link, aPacketFilterProc proc, const void* ref, uint64_t msTimeout,
                       bool needInStep) {
  const uint64_t start = aTime_GetMonotonicMSTicks();
  for (;;) {
    const uint64_t signals = aPacketFifo_SignalCount(link->inFifo);
    if (needInStep && (!link->running || link->status != kLinkStatusRunning)) return nullptr;
    const uint64_t elapsed = aTime_GetMonotonicMSTicks() - start;
    const uint64_t remaining = elapsed >= msTimeout ? 0 : msTimeout - elapsed;
    aPacket* packet = aPacketFifo_AwaitFirstSince(link->inFifo, proc, ref, remaining, signals);
    if (packet != nullptr) return packet;
    // Only a signal ends a wait early; without one the time is up (or the
    // queue is gone).
    if (remaining == 0 || aPacketFifo_SignalCount(link->inFifo) == signals) return nullptr;
  }
}

}  // namespace

uint32_t aLink_Init(uint32_t id, aStream* stream) {
  aDebug_Printf(aDEBUG_LINK, "aLink_Init(%u, %p)\n", id, static_cast<void*>(stream));
  aLinkEntry* entry = aLinkRegistry_LookupByID(id);
  if (entry == nullptr || entry->link == nullptr) return 0;
  aLinkRecord* link = entry->link;
  link->check = aLINK_CHECK;
  link->linkId = id;
  link->running = false;
  link->status = stream != nullptr ? kLinkStatusStopped : kLinkStatusInvalid;
  link->stream = stream;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  if (link->rxPacket == nullptr) link->rxPacket = aPacket_Create();
  aPacket_Reset(link->rxPacket);
  link->syncState = kSyncStateInStep;
  // A record made again after a reset keeps its log, locks, filter and pooling.
  char name[64];
  if (link->userFilterSema == nullptr) {
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
  }
  if (link->logSema == nullptr) {
    std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    link->logSema = aMutex_Create(name);
  }
  aDebug_Printf(aDEBUG_LINK, " leaving aLink_Init(%u, %p)\n", id, static_cast<void*>(stream));
  if (link->inFifo == 0 || link->outFifo == 0 || link->rxPacket == nullptr || link->userFilterSema == nullptr ||
      link->logSema == nullptr)
    return 0;
  return id;
}

aErr aLink_Start(uint32_t id) {
  aDebug_Printf(aDEBUG_LINK, " aLink_Start(%u)\n", id);
  aLinkRecord* link = sLink(id);
  if (link == nullptr || link->stream == nullptr) return aErrParam;
  if (link->running) return aErrNone;
  link->running = true;
  sSetStatus(link, kLinkStatusStarting);
  link->inStarted = false;
  link->outStarted = false;
  link->inThread = aThread_Create(sInPipeProcess, link);
  if (link->inThread != nullptr) link->outThread = aThread_Create(sOutPipeProcess, link);
  if (link->inThread == nullptr || link->outThread == nullptr) {
    link->running = false;
    if (link->inThread != nullptr) aThread_Destroy(&link->inThread);
    sSetStatus(link, kLinkStatusStopped);
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_Start(%u)==> error: %d\n", id, aErrResource);
    return aErrResource;
  }
  const bool up = sPoll(kStartPolls, [link] {
    return link->inStarted && link->outStarted && link->status == kLinkStatusRunning;
  });
  const aErr err = up ? aLink_ForceRoute(id, 1) : aErrIndexRange;
  aDebug_Printf(aDEBUG_LINK, " leaving aLink_Start(%u)==> error: %d\n", id, err);
  return err;
}

aErr aLink_Stop(aLinkRecord* link) {
  if (link == nullptr || link->check != aLINK_CHECK) return aErrParam;
  aDebug_Printf(aDEBUG_LINK, " aLink_Stop(%u)\n", link->linkId);
  const uint32_t status = link->status;
  if (status == kLinkStatusStopped || status == kLinkStatusStopping) return aErrNone;
  sSetStatus(link, kLinkStatusStopping);
  aErr result = aErrNone;
  if (link->inThread != nullptr && link->outThread != nullptr) {
    // Queued before the writer is told to end, so it goes out either in the
    // writer's loop or in its final flush; the signal wakes a writer that
    // checked `running` just before it was cleared.
    const uint8_t off = 0;
    result = sQueue(link, kRouteAddress, 1, &off);
    link->running = false;
    aPacketFifo_Signal(link->outFifo);
    const int inJoin = aThread_Destroy(&link->inThread);
    const int outJoin = aThread_Destroy(&link->outThread);
    if (inJoin != 0 || outJoin != 0) result = aErrUnknown;
    link->inStarted = false;
    link->outStarted = false;
    aPacket_Reset(link->rxPacket);
  }
  sSetStatus(link, link->stream != nullptr ? kLinkStatusStopped : kLinkStatusInvalid);
  aDebug_Printf(aDEBUG_LINK, " leaving aLink_Stop(%u)==>%d\n", link->linkId, result);
  return result;
}

aErr aLink_Sync(uint32_t id) {
  aDebug_Printf(aDEBUG_LINK, " aLink_Sync(%u)\n", id);
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  bool synced = false;
  if (link->running) {
    sSetStatus(link, kLinkStatusSyncing);
    synced = sPoll(kStartPolls, [link] { return link->status == kLinkStatusRunning; });
  }
  // Stray announcements and their answers must not reach the caller.
  aPacketFifo_DrainPackets(link->outFifo, sAcceptAll, nullptr);
  aTime_MSSleep(kSyncSettleMs);
  aPacketFifo_DrainPackets(link->inFifo, sAcceptAll, nullptr);
  return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(uint32_t id, uint8_t value) {
  aDebug_Printf(aDEBUG_LINK, " aLink_ForceRoute(%u)\n", id);
  aLinkEntry* entry = aLinkRegistry_LookupByID(id);
  if (entry == nullptr) return aErrNotFound;
  if (entry->link == nullptr || entry->link->check != aLINK_CHECK) return aErrParam;
  return sQueue(entry->link, kRouteAddress, 1, &value);
}

uint32_t aLink_GetStatus(uint32_t id) {
  aLinkRecord* link = sLink(id);
  return link != nullptr ? link->status.load() : kLinkStatusInvalid;
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(uint32_t id) {
  aLinkRecord* link = sLink(id);
  return link != nullptr ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, uint64_t msTimeout) {
  aLinkRecord* link = sLink(id);
  return link != nullptr ? sAwaitInbound(link, nullptr, nullptr, msTimeout, false) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketFilterProc proc, const void* ref) {
  aLinkRecord* link = sLink(id);
  return link != nullptr ? aPacketFifo_GetFirst(link->inFifo, proc, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilterProc proc, const void* ref, uint64_t msTimeout) {
  aLinkRecord* link = sLink(id);
  return link != nullptr ? sAwaitInbound(link, proc, ref, msTimeout, true) : nullptr;
}

size_t aLink_DrainPackets(uint32_t id, aPacketFilterProc proc, const void* ref) {
  aLinkRecord* link = sLink(id);
  return link != nullptr ? aPacketFifo_DrainPackets(link->inFifo, proc, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aLinkUserFilterProc proc, void* ref) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  SemaGuard lock(link->userFilterSema);
  if (!lock.ok()) return aErrBusy;
  link->userFilter = proc;
  link->userFilterRef = proc != nullptr ? ref : nullptr;
  return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t id, bool pooled) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  link->pooled = pooled;
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr || size > kLinkLogMaxSize) return aErrParam;
  if (link->packetLog.load() != nullptr) return aErrBusy;
  link->logSize = size < 0 ? 0 : static_cast<uint32_t>(size);
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t id) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  if (link->logSema == nullptr) return aErrResource;
  SemaGuard lock(link->logSema);
  if (!lock.ok()) return aErrBusy;
  if (link->packetLog.load() != nullptr) return aErrNone;
  const uint32_t capacity = link->logSize != 0 ? link->logSize : kLinkLogDefaultSize;
  link->packetLog = aPacketLog_Create(capacity);
  return link->packetLog.load() != nullptr ? aErrNone : aErrResource;
}

aErr aLink_PacketDebug_Disable(uint32_t id) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  // The log keeps recording until the link ends; only the reading side stops.
  return link->packetLog.load() != nullptr ? aErrNone : aErrNotReady;
}

aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* kind, uint32_t* length, uint8_t* data) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  if (link->packetLog.load() == nullptr) return aErrNotReady;
  SemaGuard lock(link->logSema);
  if (!lock.ok()) return aErrBusy;
  return aPacketLog_Get(link->packetLog.load(), kind, length, data);
}

aErr aLink_PacketDebug_Write(uint32_t id, uint8_t kind, uint32_t length, const uint8_t* data) {
  aLinkRecord* link = sLink(id);
  if (link == nullptr) return aErrParam;
  if (link->packetLog.load() == nullptr) return aErrNotReady;
  SemaGuard lock(link->logSema);
  if (!lock.ok()) return aErrBusy;
  return aPacketLog_Put(link->packetLog.load(), kind, length, data);
}

aErr aLink_ReleaseStreamAndQueues(aLinkRecord* link) {
  if (link == nullptr) return aErrParam;
  aErr result = aErrNone;
  if (link->outFifo != 0) result = aPacketFifo_Destroy(&link->outFifo);
  if (link->inFifo != 0) aPacketFifo_Destroy(&link->inFifo);
  if (link->stream != nullptr) {
    aDebug_Printf(aDEBUG_LINK, " Destroy stream\n");
    aStream_Destroy(&link->stream);
  }
  link->status = kLinkStatusInvalid;
  return result;
}

aErr aLink_FreeRecord(aLinkRecord** link) {
  if (link == nullptr || *link == nullptr) return aErrParam;
  aLinkRecord* record = *link;
  const aErr result = aLink_ReleaseStreamAndQueues(record);
  if (record->rxPacket != nullptr) aPacket_Destroy(&record->rxPacket);
  aPacketLog* log = record->packetLog.exchange(nullptr);
  if (log != nullptr) aPacketLog_Destroy(&log);
  if (record->logSema != nullptr) aMutex_Destroy(&record->logSema);
  if (record->userFilterSema != nullptr) aMutex_Destroy(&record->userFilterSema);
  record->check = 0;
  delete record;
  *link = nullptr;
  return result;
}
