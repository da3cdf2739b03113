// Streams over a POSIX serial port: plain bytes, or link packets framed with
// COBS and a CRC-8 (one frame per packet, each ended by a zero byte).
#ifndef TESSALINE_ASTREAM_SERIAL_H
#define TESSALINE_ASTREAM_SERIAL_H

#include <cstddef>
#include <cstdint>

#include "aCobs.h"
#include "aPacket.h"
#include "aStream.h"

struct termios;

// Baud table index -> speed; other indices select the hang-up speed 0.
// 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600, 6 115200, 7 230400.
uint32_t aSerial_BaudForIndex(uint32_t baudIndex);

// Line settings for the options, built on the port's current settings `base`: raw in both
// directions, receiver on, modem lines ignored, even parity when asked, reads that answer at
// once. aErrParam for a data-bits option above 1 or a stop-bits option above 1.
aErr aSerial_BuildLineSettings(const struct termios* base, uint32_t baudIndex, bool parity, uint32_t dataBits,
                               uint32_t stopBits, struct termios* out);

// Largest frame on the wire: the largest packet, its CRC, the COBS overhead and the delimiter.
constexpr size_t kCobsFrameMaxEncoded = cobs_max_encoded_length(aPACKET_MAXWIRE + 1);
constexpr size_t kCobsFrameMaxWire = kCobsFrameMaxEncoded + 1;

// Plain stream: raw 8N1-style line (dataBits 0 = 8 bits, 1 = 7; stopBits 0 = one, 1 = two),
// reads answer at once, the earlier settings come back when the stream is destroyed.
// aErrResource for a null argument or an option above 1; aErrNotFound, aErrPermission or
// aErrIO when the port cannot be opened or set up.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                          aStream** stream);

// The same port carrying framed link packets.
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                                     uint32_t stopBits, aStream** stream);

// Wraps any lower stream's procedures in the packet framing. The new stream owns the lower
// reference (its delete procedure is called on destruction). aErrParam for a null output
// pointer, aErrMemory when the record cannot be allocated, aErrResource when the stream
// cannot be made.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* lowerRef, aStream** stream);

#endif
