// Links to modules. A link joins the host to one module over one byte stream
// and runs a reader and a writer thread; callers put packets into its
// outbound queue and take packets from its inbound queue, addressing the link
// by an integer id (0 = none). Links are made, shared (use counts) and
// destroyed through the registry functions below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"

// Odd addresses reserved for link control.
constexpr uint8_t kSyncAddress = 0xAD;   // empty packet: "announce yourself"
constexpr uint8_t kRouteAddress = 0xAF;  // one byte: 1 at start, 0 at stop

// Link status values (aLink_GetStatus).
constexpr uint32_t kLinkStatusStopped = 0;
constexpr uint32_t kLinkStatusStarting = 1;
constexpr uint32_t kLinkStatusRunning = 2;
constexpr uint32_t kLinkStatusStopping = 3;
constexpr uint32_t kLinkStatusSyncing = 4;
constexpr uint32_t kLinkStatusInvalid = 5;  // no stream, or unknown id
constexpr uint32_t kLinkStatusIOError = 6;
constexpr uint32_t kLinkStatusPacketError = 8;

// Handshake states.
constexpr uint32_t kSyncStateInStep = 0;
constexpr uint32_t kSyncStateStart = 1;
constexpr uint32_t kSyncStateByte1 = 2;
constexpr uint32_t kSyncStateByte2 = 3;
constexpr uint32_t kSyncStateByte3 = 4;
constexpr uint32_t kSyncStateByte4 = 5;

// Packet debug log: record kinds and sizes.
constexpr uint8_t kLinkLogWritten = 1;   // wire form of a packet the writer sent
constexpr uint8_t kLinkLogReceived = 2;  // wire form of a complete received packet
constexpr uint8_t kLinkLogText = 3;      // caller's text
constexpr int32_t kLinkLogDefaultSize = 0x10000;
constexpr int32_t kLinkLogMaxSize = 0x4000000;

// Tap on received packets, run on the reader thread before heartbeats are
// answered; answering true consumes the packet. Must be quick and must not
// install filters on the same link.
typedef bool (*aLinkUserFilterProc)(const aPacket* packet, void* ref);

// ---- Creation and destruction (each creator returns a started link id with
// one use for the caller, or 0; creating a link to a module this process has
// open already returns that id with one more use).

uint32_t aLink_CreateUSB(uint32_t serialNumber);
// address: IPv4 in network byte order (as the socket stream takes it).
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// baudRate: 2400, 4800, 9600, 19200, 38400, 57600, 115200 or 230400.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// With ref != 0 shares link ref. A connection to a network-sharing server
// (ref 0) is not available in this build and gives 0.
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t ref);
// Network sharing is not available in this build: always 0.
uint32_t aLink_CreateServer(uint32_t linkId, uint16_t* port, uint32_t* address, bool localOnly);
// Anonymous link over the caller's stream, started without a handshake. The
// link owns the stream from this call on, also when the call fails.
uint32_t aLink_Create(aStream* stream);

// Gives up one use; the last use stops the link and frees it. Always sets
// *id to 0. aErrParam for an unknown id.
aErr aLink_Destroy(uint32_t* id);
// Rebuilds the stream of a USB or TCP/IP link and restarts it. aErrParam for
// an unknown id or a link whose stream cannot be rebuilt (left untouched).
aErr aLink_Reset(uint32_t id);

// ---- Engine.

// Fills the record of a registry entry (new queues, status Stopped, or
// Invalid without a stream); returns the id, or 0.
uint32_t aLink_Init(uint32_t id, aStream* stream);
// Starts both threads and sends the route-on packet. aErrParam for an
// unknown id or a link without stream, aErrResource when a thread cannot
// start, aErrIndexRange when the threads do not come up within 2 s.
aErr aLink_Start(uint32_t id);
// Forces a handshake and waits up to 2 s for it (aErrNotReady when it does
// not complete); then empties both queues.
aErr aLink_Sync(uint32_t id);
aErr aLink_ForceRoute(uint32_t id, uint8_t value);
uint32_t aLink_GetStatus(uint32_t id);

aErr aLink_PutPacket(uint32_t id, const aPacket* packet);
// Returned packets belong to the caller (aPacket_Destroy). A null filter
// accepts every packet.
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, uint64_t msTimeout);
aPacket* aLink_GetFirst(uint32_t id, aPacketFilterProc proc, const void* ref);
// Null at once, and as soon as it happens during the wait, when the link is
// not running in step with its module.
aPacket* aLink_AwaitFirst(uint32_t id, aPacketFilterProc proc, const void* ref, uint64_t msTimeout);
size_t aLink_DrainPackets(uint32_t id, aPacketFilterProc proc, const void* ref);

aErr aLink_InstallUserPacketFilter(uint32_t id, aLinkUserFilterProc proc, void* ref);
// Pooling gathers queued packets into writes of up to 4096 bytes.
aErr aLink_EnablePooledPackets(uint32_t id, bool pooled);

// Packet debug log (records: kind byte, length byte, data).
aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size);
aErr aLink_PacketDebug_Enable(uint32_t id);
aErr aLink_PacketDebug_Disable(uint32_t id);
// *length: buffer size in, record length out.
aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* kind, uint32_t* length, uint8_t* data);
// Records of more than 255 bytes are refused (aErrOverrun).
aErr aLink_PacketDebug_Write(uint32_t id, uint8_t kind, uint32_t length, const uint8_t* data);
