// A module's TCP connection as a non-blocking byte stream that reconnects by
// itself when the connection breaks.
#ifndef TESSALINE_ASTREAM_SOCKET_H
#define TESSALINE_ASTREAM_SOCKET_H

#include <cstdint>

#include "aStream.h"

// Pause after an attempt of a write that left bytes unsent, and the number of
// attempts after which the write gives up (the lost bytes show as missing answers).
constexpr unsigned kSocketWriteRetryMs = 60;
constexpr unsigned kSocketWriteAttempts = 10;

// address: IPv4 in network byte order; port: host order. *stream is set to
// null first; every failure gives aErrResource and leaves nothing open.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

#endif
