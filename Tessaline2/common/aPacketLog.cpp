#include "aPacketLog.h"

#include <new>

namespace {

uint32_t sUsed(const aPacketLog* log) {
  return (log->logTail + log->logCapacity - log->logHead) % log->logCapacity;
}

uint8_t sByteAt(const aPacketLog* log, uint32_t offset) {
  return log->logBuffer[(log->logHead + offset) % log->logCapacity];
}

void sAppend(aPacketLog* log, uint8_t byte) {
  log->logBuffer[log->logTail] = byte;
  log->logTail = (log->logTail + 1) % log->logCapacity;
}

void sDropOldest(aPacketLog* log) {
  const uint32_t recordSize = 2u + sByteAt(log, 1);
  log->logHead = (log->logHead + recordSize) % log->logCapacity;
}

bool sValid(const aPacketLog* log) {
  return log != nullptr && log->logBuffer != nullptr && log->logCapacity >= 3;
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t capacity) {
  if (capacity < 3 || capacity > aPACKETLOG_MAX_CAPACITY) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog{nullptr, capacity, 0, 0};
  if (log == nullptr) return nullptr;
  log->logBuffer = new (std::nothrow) uint8_t[capacity];
  if (log->logBuffer == nullptr) {
    delete log;
    return nullptr;
  }
  return log;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || !sValid(*log)) return aErrParam;
  delete[] (*log)->logBuffer;
  delete *log;
  *log = nullptr;
  return aErrNone;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t length, const uint8_t* data) {
  if (!sValid(log) || (data == nullptr && length > 0)) return aErrParam;
  // The length byte cannot express more; cutting would corrupt the record.
  if (length > 255 || length + 2 >= log->logCapacity) return aErrOverrun;
  while (log->logCapacity - sUsed(log) <= length + 2) sDropOldest(log);
  sAppend(log, kind);
  sAppend(log, static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) sAppend(log, data[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* kind, uint32_t* length, uint8_t* data) {
  if (!sValid(log) || kind == nullptr || length == nullptr) return aErrParam;
  if (log->logHead == log->logTail) return aErrNotFound;
  const uint32_t recordLength = sByteAt(log, 1);
  if (*length < recordLength) {
    *length = recordLength;
    return aErrOverrun;
  }
  if (data == nullptr && recordLength > 0) return aErrParam;
  *kind = sByteAt(log, 0);
  for (uint32_t i = 0; i < recordLength; ++i) data[i] = sByteAt(log, 2 + i);
  *length = recordLength;
  sDropOldest(log);
  return aErrNone;
}
