// Links over the module transports: USB, TCP/IP and framed serial, and the
// rebuilding of a link's stream after the module went away.
#include "aDefs.h"
#include "aLinkRecord.h"
#include "aLinkSpec.h"
#include "aStream_Serial.h"
#include "aStream_Socket.h"
#include "aStream_USB.h"
#include "aTime.h"

namespace {

constexpr int kRecreateAttempts = 20;
constexpr uint64_t kRecreatePauseMs = 100;

const uint32_t kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

bool sBaudIndex(uint32_t baudRate, uint32_t* index) {
  for (uint32_t i = 0; i < sizeof kBaudRates / sizeof kBaudRates[0]; ++i) {
    if (kBaudRates[i] == baudRate) {
      *index = i;
      return true;
    }
  }
  return false;
}

// An open link to the same module gets one more use. A link shared by a
// network server must be reached through that server instead (*refused).
uint32_t sShareExisting(uint32_t serialNumber, uint32_t type, bool* refused) {
  *refused = false;
  aLinkEntry* entry = aLinkRegistry_LookupByIdentifier(serialNumber, type);
  if (entry == nullptr) return 0;
  if (entry->server != nullptr && type != SERIAL) {
    aDebug_Printf(aDEBUG_LINK, "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" \n");
    *refused = true;
    return 0;
  }
  aLinkRegistry_ChangeUseCount(entry, +1);
  aLinkRecord* link = entry->link;
  aDebug_Printf(aDEBUG_LINK, "Using already created object:(0x%08X, running:%d, state=%d)\n", serialNumber,
                link != nullptr && link->running ? 1 : 0, link != nullptr ? static_cast<int>(link->status.load()) : -1);
  return entry->id;
}

// Takes the new stream into the entry's record and starts the link; on any
// failure the link is destroyed whole (no entry left behind) and 0 returned.
uint32_t sInitAndStart(uint32_t id, aStream* stream, bool handshake) {
  const bool ready = aLink_Init(id, stream) == id;
  aLinkRegistry_ChangeUseCount(aLinkRegistry_LookupByID(id), +1);
  if (ready && aLink_Start(id) == aErrNone && (!handshake || aLink_Sync(id) == aErrNone)) return id;
  aLink_Destroy(&id);
  return 0;
}

void sDropEntry(uint32_t id) {
  aLink_Destroy(&id);
}

aErr sRecreateStream(const aLinkEntry* entry, aStream** stream) {
  switch (entry->type) {
    case USB:
      aDebug_Printf(aDEBUG_LINK, " recreate USB stream\n");
      return aStream_CreateUSB(entry->identifier, stream);
    case TCPIP:
      aDebug_Printf(aDEBUG_LINK, " recreate TCPIP stream\n");
      return aStream_CreateSocket(entry->secondary, static_cast<uint16_t>(entry->tertiary), stream);
    default:
      aDebug_Printf(aDEBUG_LINK, " recreate invalid stream type\n");
      return aErrParam;
  }
}

}  // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  aDebug_Printf(aDEBUG_LINK, " aLink_CreateUSB(%08X)\n", serialNumber);
  bool refused = false;
  const uint32_t shared = sShareExisting(serialNumber, USB, &refused);
  if (shared != 0 || refused) return shared;
  const uint32_t id = aLinkRegistry_Create(serialNumber, 0, 0, USB);
  aDebug_Printf(aDEBUG_LINK, "USB sCreate(%08X)==>%u\n", serialNumber, id);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  const aErr err = aStream_CreateUSB(serialNumber, &stream);
  if (err != aErrNone || stream == nullptr) {
    aDebug_Printf(aDEBUG_LINK, " aLink_CreateUSB() error creating stream %d\n", err);
    sDropEntry(id);
    return 0;
  }
  const uint32_t result = sInitAndStart(id, stream, true);
  if (result == 0) aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateUSB(bad)(%08X)\n", serialNumber);
  return result;
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
  aDebug_Printf(aDEBUG_LINK, "aLink_CreateTCPIP: SN: %u, address: %u, port: %u\n", serialNumber, address, port);
  bool refused = false;
  const uint32_t shared = sShareExisting(serialNumber, TCPIP, &refused);
  if (shared != 0 || refused) return shared;
  const uint32_t id = aLinkRegistry_Create(serialNumber, address, port, TCPIP);
  aDebug_Printf(aDEBUG_LINK, "TCPIP sCreate2 SN: %u, address: %u, port: %u, type: %u, id: %u\n", serialNumber, address,
                port, static_cast<uint32_t>(TCPIP), id);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  const aErr err = aStream_CreateSocket(address, port, &stream);
  if (err != aErrNone || stream == nullptr) {
    aDebug_Printf(aDEBUG_LINK, " aLink_CreateTCPIP() error creating stream %d\n", err);
    sDropEntry(id);
    return 0;
  }
  const uint32_t result = sInitAndStart(id, stream, false);
  if (result == 0) aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateTCPIP(bad)(%08X)\n", serialNumber);
  return result;
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  aDebug_Printf(aDEBUG_LINK, " aLink_CreateSerial(%s)\n", portName != nullptr ? portName : "(null)");
  bool refused = false;
  const uint32_t shared = sShareExisting(serialNumber, SERIAL, &refused);
  if (shared != 0 || refused) return shared;
  uint32_t baudIndex = 0;
  if (portName == nullptr || !sBaudIndex(baudRate, &baudIndex)) {
    aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X)\n", serialNumber);
    return 0;
  }
  const uint32_t id = aLinkRegistry_Create(serialNumber, 0, 0, SERIAL);
  aDebug_Printf(aDEBUG_LINK, "\nSerial sCreate(%08X)==>%u\n", serialNumber, id);
  if (id == 0) return 0;
  aStream* stream = nullptr;
  const aErr err = aStream_CreateSerial_Packetized(portName, baudIndex, false, 0, 0, &stream);
  if (err != aErrNone || stream == nullptr) {
    aDebug_Printf(aDEBUG_LINK, " aLink_CreateSerial() error creating stream %d\n", err);
    sDropEntry(id);
    return 0;
  }
  const uint32_t result = sInitAndStart(id, stream, false);
  aDebug_Printf(aDEBUG_LINK, " leaving aLink_CreateSerial(%08X) ==> %u\n", serialNumber, result);
  return result;
}

aErr aLink_Reset(uint32_t id) {
  aDebug_Printf(aDEBUG_LINK, "aLink_Reset(%u)\n", id);
  aLinkEntry* entry = aLinkRegistry_LookupByID(id);
  if (entry == nullptr || entry->link == nullptr) return aErrParam;
  // A link whose stream cannot be made again keeps the one it has.
  if (entry->type != USB && entry->type != TCPIP) return aErrParam;
  aLink_Stop(entry->link);
  aLink_ReleaseStreamAndQueues(entry->link);
  aStream* stream = nullptr;
  aErr err = aErrNone;
  for (int attempt = 0; attempt < kRecreateAttempts; ++attempt) {
    if (attempt > 0) aTime_MSSleep(kRecreatePauseMs);
    err = sRecreateStream(entry, &stream);
    if (err == aErrNone && stream != nullptr) break;
  }
  if (stream == nullptr) {
    aDebug_Printf(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", err);
    return err != aErrNone ? err : aErrResource;
  }
  if (aLink_Init(id, stream) != id) return aErrResource;
  return aLink_Start(id);
}
