// Byte ring of link debug records: kind byte, length byte, data. When full,
// the oldest records make room for the newest.
#pragma once

#include <cstdint>

#include "aError.h"

#define aPACKETLOG_DEFAULT_CAPACITY 0x10000u
#define aPACKETLOG_MAX_CAPACITY 0x4000000u

// Record kinds.
#define aPACKETLOG_KIND_WRITTEN 1  // wire form of a packet the writer sent
#define aPACKETLOG_KIND_RECEIVED 2 // wire form of a complete received packet
#define aPACKETLOG_KIND_TEXT 3     // caller's text

struct aPacketLog {
  uint8_t* logBuffer;
  uint32_t logCapacity;
  uint32_t logHead;  // oldest record
  uint32_t logTail;  // where the next byte goes; head == tail when empty
};

// Capacity 3 to aPACKETLOG_MAX_CAPACITY; null otherwise or without memory.
aPacketLog* aPacketLog_Create(uint32_t capacity);
aErr aPacketLog_Destroy(aPacketLog** log);
// aErrOverrun when the record can never fit (longer than 255 bytes, or not
// smaller than the ring once its two header bytes are added).
aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* data);
// *length: buffer size in, record length out. aErrNotFound when empty;
// aErrOverrun (record kept, *length set) when the buffer is too small.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* kind, uint32_t* length, uint8_t* data);
