#include "aStream_Serial.h"

#include "aDescriptor.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr uint16_t kCobsCheck = 0xC0B5;
constexpr int kIdlePollMs = 10;
// A write that cannot hand its bytes to the port within this time fails.
constexpr int kWriteTimeoutMs = 2000;
// Lower bytes examined by one framed get before it answers "no packet yet".
constexpr int kFramedGetByteBudget = 2 * static_cast<int>(kCobsFrameMaxWire);

struct SerialPort {
    uint32_t baudIndex;
    char path[4096];
    int fd;
    struct termios savedSettings;
    struct termios settings;
    uint16_t check;
};

SerialPort* sValidPort(void* ref)
{
    auto* p = static_cast<SerialPort*>(ref);
    return (p && p->check == kSerialCheck) ? p : nullptr;
}

speed_t sSpeedForIndex(uint32_t baudIndex)
{
    static const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    return baudIndex < sizeof speeds / sizeof speeds[0] ? speeds[baudIndex] : B0;
}

aErr sStreamOpenSerial(SerialPort* port, bool parity, uint32_t dataBits, uint32_t stopBits)
{
    int fd = open(port->path, O_RDWR | O_NOCTTY | O_NDELAY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? aErrNotFound : (errno == EACCES || errno == EPERM) ? aErrPermission : aErrIO;
    fd = aDescriptor_AvoidZero(fd);
    if (fd < 0)
        return aErrIO;
    // The descriptor stays non-blocking: reads answer at once through the
    // line settings anyway, and writes wait with a bound of their own.
    if (tcgetattr(fd, &port->savedSettings) != 0) {
        close(fd);
        return aErrIO;
    }
    struct termios t;
    if (aSerial_BuildLineSettings(&port->savedSettings, port->baudIndex, parity, dataBits, stopBits, &t) != aErrNone) {
        close(fd);
        return aErrParam;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0 ||
        tcflush(fd, TCIOFLUSH) != 0) {
        tcsetattr(fd, TCSANOW, &port->savedSettings);
        close(fd);
        return aErrIO;
    }
    port->settings = t;
    port->fd = fd;
    return aErrNone;
}

void sStreamCloseSerial(SerialPort* port)
{
    if (port->fd > 0) {
        tcsetattr(port->fd, TCSANOW, &port->savedSettings);
        close(port->fd);
        port->fd = 0;
    }
}

aErr sSerialGet(uint8_t* byte, void* ref)
{
    SerialPort* port = sValidPort(ref);
    if (!port || !byte)
        return aErrParam;
    if (port->fd <= 0)
        return aErrIO;
    return aDescriptor_ReadByte(port->fd, byte, kIdlePollMs);
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* ref)
{
    SerialPort* port = sValidPort(ref);
    if (!port || (!data && length))
        return aErrParam;
    if (port->fd <= 0)
        return aErrIO;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = write(port->fd, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return aErrIO;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return aErrIO;
        struct pollfd p = {port->fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left.count() < kIdlePollMs * 10 ? left.count() : kIdlePollMs * 10));
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
            return aErrIO;
    }
    return tcdrain(port->fd) == 0 ? aErrNone : aErrIO;
}

aErr sSerialPut(const uint8_t* byte, void* ref)
{
    return sSerialWrite(byte, 1, ref);
}

aErr sSerialDelete(void* ref)
{
    SerialPort* port = sValidPort(ref);
    if (!port)
        return aErrParam;
    sStreamCloseSerial(port);
    port->check = 0;
    delete port;
    return aErrNone;
}

aErr sMakePort(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
               SerialPort** out)
{
    if (!path || dataBits > 1 || stopBits > 1)
        return aErrResource;
    auto* port = new (std::nothrow) SerialPort{};
    if (!port)
        return aErrResource;
    port->baudIndex = baudIndex;
    std::snprintf(port->path, sizeof port->path, "%s", path);
    port->check = kSerialCheck;
    const aErr result = sStreamOpenSerial(port, parity, dataBits, stopBits);
    if (result != aErrNone) {
        delete port;
        return result;
    }
    *out = port;
    return aErrNone;
}

/* ---- framing ---- */

struct CobsStream {
    aStreamGetProc lowerGet;
    aStreamPutProc lowerPut;
    aStreamWriteProc lowerWrite;
    aStreamDeleteProc lowerDelete;
    void* lowerRef;
    uint16_t check;
    // Receive side (reader thread only).
    uint8_t rxFrame[kCobsFrameMaxEncoded];
    size_t rxCount;
    bool rxOverflow;
    bool rxReady;
    size_t rxPosition;
    // Send side (writer thread only).
    aPacket* txPacket;
    uint8_t txFrame[kCobsFrameMaxWire];
    size_t txLength;
};

CobsStream* sValidCobs(void* ref)
{
    auto* c = static_cast<CobsStream*>(ref);
    return (c && c->check == kCobsCheck) ? c : nullptr;
}

aErr sCobsSendPacket(CobsStream* c)
{
    size_t length = 0;
    aErr result = aPacket_GetBytes(c->txPacket, c->txFrame, aPACKET_MAXWIRE, &length);
    aPacket_Reset(c->txPacket);
    if (result != aErrNone)
        return result;
    c->txFrame[length] = crc8_create(c->txFrame, length);
    length = cobs_encode_inplace(c->txFrame, length + 1);
    c->txFrame[length++] = 0;
    c->txLength = length;
    if (c->lowerWrite)
        return c->lowerWrite(c->txFrame, c->txLength, c->lowerRef);
    if (!c->lowerPut)
        return aErrMode;
    for (size_t i = 0; i < c->txLength; ++i)
        if ((result = c->lowerPut(&c->txFrame[i], c->lowerRef)) != aErrNone)
            return result;
    return aErrNone;
}

aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* ref)
{
    CobsStream* c = sValidCobs(ref);
    if (!c || (!data && length))
        return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(c->txPacket, data[i]) != aErrNone) {
            // A refused byte leaves the packet unusable: drop it and start afresh.
            aPacket_Reset(c->txPacket);
            continue;
        }
        if (aPacket_IsComplete(c->txPacket)) {
            const aErr sent = sCobsSendPacket(c);
            if (sent != aErrNone)
                result = sent;
        }
    }
    return result;
}

aErr sCobsStreamPut(const uint8_t* byte, void* ref)
{
    // Single bytes are framed like any other write, so the line only ever carries frames.
    return sCobsStreamWrite(byte, 1, ref);
}

// Ends the frame being received. aErrNone when a good packet is ready to hand out.
aErr sCobsFinishFrame(CobsStream* c)
{
    const bool overflow = c->rxOverflow;
    const size_t count = c->rxCount;
    c->rxCount = 0;
    c->rxOverflow = false;
    if (overflow)
        return aErrPacket;
    const size_t decoded = cobs_decode_inplace(c->rxFrame, count);
    if (decoded <= 2 || decoded != static_cast<size_t>(c->rxFrame[1]) + 3 ||
        !crc8_check(c->rxFrame[decoded - 1], c->rxFrame, decoded - 1))
        return aErrPacket;
    c->rxCount = decoded - 1;
    c->rxPosition = 0;
    c->rxReady = true;
    return aErrNone;
}

aErr sCobsStreamGet(uint8_t* byte, void* ref)
{
    CobsStream* c = sValidCobs(ref);
    if (!c || !byte)
        return aErrParam;
    if (!c->lowerGet)
        return aErrMode;
    for (int budget = kFramedGetByteBudget; !c->rxReady && budget > 0; --budget) {
        uint8_t in = 0;
        const aErr lower = c->lowerGet(&in, c->lowerRef);
        // A failing port must reach the reader, which backs off; hiding it would make it spin.
        if (lower != aErrNone)
            return lower == aErrEOF ? aErrNotReady : lower;
        if (in != 0) {
            if (c->rxCount < sizeof c->rxFrame)
                c->rxFrame[c->rxCount++] = in;
            else
                c->rxOverflow = true;
            continue;
        }
        if (c->rxCount == 0 && !c->rxOverflow)
            continue;
        if (sCobsFinishFrame(c) != aErrNone)
            return aErrPacket;
    }
    if (!c->rxReady)
        return aErrNotReady;
    *byte = c->rxFrame[c->rxPosition++];
    if (c->rxPosition >= c->rxCount) {
        c->rxReady = false;
        c->rxPosition = 0;
        c->rxCount = 0;
    }
    return aErrNone;
}

aErr sCobsStreamDelete(void* ref)
{
    CobsStream* c = sValidCobs(ref);
    if (!c)
        return aErrParam;
    const aErr result = c->lowerDelete ? c->lowerDelete(c->lowerRef) : aErrNone;
    aPacket_Destroy(&c->txPacket);
    c->check = 0;
    delete c;
    return result;
}

} // namespace

aErr aSerial_BuildLineSettings(const struct termios* base, uint32_t baudIndex, bool parity, uint32_t dataBits,
                               uint32_t stopBits, struct termios* out)
{
    if (!base || !out)
        return aErrParam;
    if (dataBits > 1 || stopBits > 1)
        return aErrParam;
    struct termios t = *base;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) | (stopBits == 1 ? CSTOPB : 0);
    t.c_lflag = 0;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    const speed_t speed = sSpeedForIndex(baudIndex);
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0)
        return aErrParam;
    *out = t;
    return aErrNone;
}

uint32_t aSerial_BaudForIndex(uint32_t baudIndex)
{
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    return baudIndex < sizeof rates / sizeof rates[0] ? rates[baudIndex] : 0;
}

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                          aStream** stream)
{
    if (!stream)
        return aErrResource;
    SerialPort* port = nullptr;
    const aErr result = sMakePort(path, baudIndex, parity, dataBits, stopBits, &port);
    if (result != aErrNone)
        return result;
    aStream* s = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port);
    if (!s) {
        sSerialDelete(port);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                                     uint32_t stopBits, aStream** stream)
{
    if (!stream)
        return aErrResource;
    SerialPort* port = nullptr;
    aErr result = sMakePort(path, baudIndex, parity, dataBits, stopBits, &port);
    if (result != aErrNone)
        return result;
    result = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port, stream);
    if (result != aErrNone)
        sSerialDelete(port);
    return result;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc deleteProc, void* lowerRef, aStream** stream)
{
    if (!stream)
        return aErrParam;
    auto* c = new (std::nothrow) CobsStream{};
    if (!c)
        return aErrMemory;
    c->txPacket = aPacket_Create();
    if (!c->txPacket) {
        delete c;
        return aErrMemory;
    }
    c->lowerGet = get;
    c->lowerPut = put;
    c->lowerWrite = write;
    c->lowerDelete = deleteProc;
    c->lowerRef = lowerRef;
    c->check = kCobsCheck;
    aStream* s = aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, c);
    if (!s) {
        aPacket_Destroy(&c->txPacket);
        delete c;
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}
