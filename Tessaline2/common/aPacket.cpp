#include "aPacket.h"

#include <cstring>
#include <new>

namespace {

const aPacket kPacketTemplate = {aPACKET_CHECK, 0, 0, 0, {0}};

// Command codes whose packets carry link or system traffic, not UEI messages.
const uint8_t kNotUEICommands[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

}  // namespace

bool aVALIDPACKET(const aPacket* packet) {
  return packet != nullptr && packet->check == aPACKET_CHECK;
}

aPacket* aPacket_Create() {
  return new (std::nothrow) aPacket(kPacketTemplate);
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAXDATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  packet->curSize = static_cast<uint8_t>(length + 2);
  std::memcpy(packet->data, data, length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAXDATA) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || !aVALIDPACKET(*packet)) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  *packet = kPacketTemplate;
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  // A full packet is 30 bytes; anything beyond is a framing fault. Checked
  // before counting so that the size cannot wrap around on a stuck stream.
  if (packet->curSize >= aPACKET_MAXWIRE) return aErrOverrun;
  packet->curSize++;
  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->curSize == 2) {
    if (byte > aPACKET_MAXDATA) return aErrPacket;
    packet->dataSize = byte;
    return aErrNone;
  }
  if (packet->curSize > packet->dataSize + 2) return aErrPacket;
  packet->data[packet->curSize - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->curSize >= 2 && packet->curSize == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* out, size_t outSize, size_t* written) {
  if (!aVALIDPACKET(packet) || out == nullptr || packet->dataSize > aPACKET_MAXDATA) return aErrParam;
  const size_t size = static_cast<size_t>(packet->dataSize) + 2;
  if (outSize < size) return aErrOverrun;
  out[0] = packet->address;
  out[1] = packet->dataSize;
  std::memcpy(out + 2, packet->data, packet->dataSize);
  if (written != nullptr) *written = size;
  return aErrNone;
}

namespace {

aErr sGetDataByte(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= index) return aErrPacket;
  *out = packet->data[index] & mask;
  return aErrNone;
}

}  // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) {
  return sGetDataByte(packet, out, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) {
  return sGetDataByte(packet, out, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) {
  return sGetDataByte(packet, out, 2, 0x1F);
}

uint16_t aUEI_RetrieveShort(const uint8_t* p) {
  if (p == nullptr) return 0;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void aUEI_StoreShort(uint8_t* p, uint16_t value) {
  if (p == nullptr) return;
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p) {
  if (p == nullptr) return 0;
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void aUEI_StoreInt(uint8_t* p, uint32_t value) {
  if (p == nullptr) return;
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (words == nullptr) return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], sizeof bytes);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

namespace {

// The trailer of a byte-array chunk, or nothing for a packet without data.
bool sLastDataByte(const aPacket* packet, uint8_t* out) {
  if (!aVALIDPACKET(packet) || packet->dataSize == 0 || packet->dataSize > aPACKET_MAXDATA)
    return false;
  *out = packet->data[packet->dataSize - 1];
  return true;
}

}  // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  uint8_t last = 0;
  return sLastDataByte(packet, &last) ? (last & 0x7F) : 0;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  uint8_t last = 0;
  return sLastDataByte(packet, &last) ? (last >> 7) : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return aVALIDPACKET(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return false;
  // A packet without data carries no command at all, so it is no UEI message.
  if (packet->dataSize == 0) return true;
  for (uint8_t cmd : kNotUEICommands)
    if (packet->data[0] == cmd) return true;
  return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->dataSize > 4 && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & 0xC0) == 0 && (packet->data[2] & 0x40) != 0;
}
