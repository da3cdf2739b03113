// The link record and registry entry, shared by the engine and the registry
// only; everyone else addresses links by id through aLink.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "aLink.h"
#include "aMutex.h"
#include "aPacketLog.h"
#include "aThread.h"

#define aLINK_CHECK 0xCEED

struct aLinkRecord {
  uint32_t check;  // aLINK_CHECK while alive
  uint32_t linkId;
  std::atomic<bool> running;
  std::atomic<uint32_t> status;
  uint64_t inFifo;
  aPacket* rxPacket;  // reader thread only
  uint64_t outFifo;
  aThread* inThread;
  aThread* outThread;
  std::atomic<bool> inStarted;
  std::atomic<bool> outStarted;
  aStream* stream;                   // owned
  std::atomic<uint32_t> syncState;   // written by the reader thread
  uint8_t syncAddress;               // reader thread only
  uint64_t lastSyncStartMs;          // reader thread only
  std::atomic<aPacketLog*> packetLog;  // null until enabled; guarded by logSema
  uint32_t logSize;                  // capacity of a log not made yet; 0 = default
  aMutex* logSema;
  aLinkUserFilterProc userFilter;    // guarded by userFilterSema
  void* userFilterRef;
  aMutex* userFilterSema;
  std::atomic<bool> pooled;
};

struct aLinkEntry {
  uint32_t id;
  uint32_t parentLinkId;
  void* server;
  uint32_t identifier;
  uint32_t secondary;
  uint32_t tertiary;
  uint32_t type;
  int16_t useCount;
  aLinkRecord* link;
  aLinkEntry* next;
};

// Registry look-ups (under the registry lock for the walk only).
aLinkEntry* aLinkRegistry_LookupByID(uint32_t id);
aLinkRecord* aLinkRegistry_GetLink(uint32_t id);
// New entry with a zeroed record and no uses; its id, or 0.
uint32_t aLinkRegistry_Create(uint32_t identifier, uint32_t secondary, uint32_t tertiary, uint32_t type);
aLinkEntry* aLinkRegistry_LookupByIdentifier(uint32_t identifier, uint32_t type);
// Adds delta to the use count and returns the new count.
int aLinkRegistry_ChangeUseCount(aLinkEntry* entry, int delta);

// Engine parts the registry drives.
aErr aLink_Stop(aLinkRecord* link);
// Releases the queues and the stream (kept: log, locks). The result of
// destroying the outbound queue.
aErr aLink_ReleaseStreamAndQueues(aLinkRecord* link);
// Releases everything and frees the record.
aErr aLink_FreeRecord(aLinkRecord** link);
