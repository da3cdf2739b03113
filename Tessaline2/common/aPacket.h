// One link packet (module address, length, up to 28 data bytes), its
// byte-by-byte assembly, and helpers that read the UEI layout of its data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aPACKET_MAXDATA 28
// Address byte + length byte + the largest payload.
#define aPACKET_MAXWIRE (aPACKET_MAXDATA + 2)
#define aPACKET_CHECK 0xBEEF

struct aPacket {
  uint16_t check;    // aPACKET_CHECK in a live packet
  uint8_t curSize;   // bytes added so far, address and length included
  uint8_t address;   // 0 until the address byte has arrived
  uint8_t dataSize;  // 0 to aPACKET_MAXDATA
  uint8_t data[aPACKET_MAXDATA];
};

// Answers nonzero for the wanted packet. Runs under a FIFO lock: must be
// quick, must not block and must not call back into the same FIFO.
typedef uint8_t (*aPacketFilterProc)(const aPacket* packet, const void* ref);

// True for a non-null packet carrying the validity marker.
bool aVALIDPACKET(const aPacket* packet);

aPacket* aPacket_Create();
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_Destroy(aPacket** packet);
aErr aPacket_Reset(aPacket* packet);
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* out, size_t outSize, size_t* written);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);

// Big-endian values inside UEI payloads. Null pointers read as 0 and are
// never written.
uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* p, uint32_t value);
// Converts count big-endian words in place to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Trailer byte of a byte-array chunk (the last data byte); 0 for a null or
// empty packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);
