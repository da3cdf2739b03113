// Thread-safe packet queues addressed by numeric id (0 = none). Readers take
// packets in arrival order or by filter, with or without waiting. Every
// packet handed out is a new packet that the caller frees with
// aPacket_Destroy; the queue keeps its own copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

// A queue never holds more packets than this: the store that would exceed
// it empties the queue instead (a stuck consumer must not eat the memory).
#define aPACKETFIFO_MAX 1000

uint64_t aPacketFifo_Create();
aErr aPacketFifo_Destroy(uint64_t* id);
size_t aPacketFifo_GetLength(uint64_t id);
aErr aPacketFifo_Put(uint64_t id, const aPacket* packet);

// A null filter accepts every packet.
aPacket* aPacketFifo_Get(uint64_t id);
aPacket* aPacketFifo_GetFirst(uint64_t id, aPacketFilterProc proc, const void* ref);
aPacket* aPacketFifo_Await(uint64_t id, uint64_t msTimeout);
// Offers each queued packet to the filter at most once per call.
aPacket* aPacketFifo_AwaitFirst(uint64_t id, aPacketFilterProc proc, const void* ref,
                                uint64_t msTimeout);
size_t aPacketFifo_DrainPackets(uint64_t id, aPacketFilterProc proc, const void* ref);

// Waking waiters early. Every aPacketFifo_Signal makes the waits that began
// before it return null at once. The *Since variants take the count read
// with aPacketFifo_SignalCount before the caller checked its own state, so a
// signal that comes between that check and the wait is not missed.
aErr aPacketFifo_Signal(uint64_t id);
uint64_t aPacketFifo_SignalCount(uint64_t id);
aPacket* aPacketFifo_AwaitSince(uint64_t id, uint64_t msTimeout, uint64_t signalCount);
aPacket* aPacketFifo_AwaitFirstSince(uint64_t id, aPacketFilterProc proc, const void* ref,
                                     uint64_t msTimeout, uint64_t signalCount);
