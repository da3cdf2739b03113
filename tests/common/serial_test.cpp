#include "aStream_Serial.h"

#include <gtest/gtest.h>

#include "StreamReading.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using stream_reading::readBytes;
using stream_reading::StreamPtr;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(5);

// A pty pair: the stream opens the terminal side, the test plays the other end.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string path;

    PtyPair()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
            struct termios raw;
            tcgetattr(slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
        }
    }
    ~PtyPair()
    {
        closeMaster();
        if (slave >= 0)
            close(slave);
    }
    void closeMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    void send(const Bytes& bytes) const
    {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Bytes from the stream's side, up to and including `until`, or `count` bytes.
    Bytes receive(size_t count, int until = -1) const
    {
        Bytes out;
        const auto deadline = Clock::now() + kWait;
        while (out.size() < count && Clock::now() < deadline) {
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            uint8_t byte;
            if (read(master, &byte, 1) == 1) {
                out.push_back(byte);
                if (until >= 0 && byte == until)
                    break;
            }
        }
        return out;
    }
};

Bytes makePacket(uint8_t address, size_t dataSize, uint8_t seed)
{
    Bytes p{address, static_cast<uint8_t>(dataSize)};
    for (size_t i = 0; i < dataSize; ++i)
        p.push_back(static_cast<uint8_t>(seed + i * 37));  // includes zeros
    return p;
}

Bytes frameOf(const Bytes& packet)
{
    Bytes body = packet;
    body.push_back(crc8_create(packet.data(), packet.size()));
    Bytes out(cobs_max_encoded_length(body.size()));
    out.resize(cobs_encode(body.data(), body.size(), out.data()));
    out.push_back(0);
    return out;
}

StreamPtr openPlain(const PtyPair& pty, uint32_t baudIndex = 6)
{
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), baudIndex, false, 0, 0, &s), aErrNone);
    return StreamPtr(s);
}

StreamPtr openFramed(const PtyPair& pty)
{
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, false, 0, 0, &s), aErrNone);
    return StreamPtr(s);
}

struct LineCase {
    uint32_t baudIndex;
    bool parity;
    uint32_t dataBits;
    uint32_t stopBits;
    speed_t speed;
};

TEST(SerialStream, AppliesLineSettingsAndRestoresThemAtClose)
{
    const LineCase cases[] = {
        {0, false, 0, 0, B2400},  {2, false, 0, 0, B9600},    {6, false, 0, 0, B115200},
        {7, true, 1, 1, B230400}, {5, true, 0, 1, B57600},    {3, false, 1, 0, B19200},
        {9, false, 0, 0, B0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("baud index " + std::to_string(c.baudIndex));
        PtyPair pty;
        ASSERT_FALSE(pty.path.empty());
        // A cooked terminal, as a port left behind by another program looks.
        struct termios before;
        tcgetattr(pty.slave, &before);
        before.c_iflag = ICRNL | IXON;
        before.c_oflag = OPOST | ONLCR;
        before.c_lflag = ICANON | ECHO | ISIG;
        before.c_cflag = (before.c_cflag & ~CSIZE) | CS8 | CREAD;
        cfsetispeed(&before, B38400);
        cfsetospeed(&before, B38400);
        ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
        tcgetattr(pty.slave, &before);

        aStream* s = nullptr;
        ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), c.baudIndex, c.parity, c.dataBits, c.stopBits, &s), aErrNone);
        struct termios t;
        ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | (c.parity ? IGNPAR : 0)));
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        // A pty keeps 8 bits and no parity whatever it is told; those two are checked below.
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 1);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);

        EXPECT_EQ(aStream_Destroy(&s), aErrNone);
        EXPECT_EQ(s, nullptr);
        struct termios after;
        ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(cfgetospeed(&after), B38400);
    }
}

TEST(SerialStream, LineSettingsCarryCharacterSizeParityAndStopBits)
{
    const LineCase cases[] = {
        {7, true, 1, 1, B230400}, {4, false, 0, 0, B38400}, {1, true, 0, 0, B4800}, {8, false, 1, 1, B0},
    };
    struct termios base;
    std::memset(&base, 0, sizeof base);
    base.c_cflag = CRTSCTS | HUPCL | PARODD | CS5;
    base.c_iflag = IXON | ICRNL | INPCK;
    base.c_lflag = ICANON | ECHO;
    base.c_oflag = OPOST;
    base.c_cc[VMIN] = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE("baud index " + std::to_string(c.baudIndex));
        struct termios t;
        ASSERT_EQ(aSerial_BuildLineSettings(&base, c.baudIndex, c.parity, c.dataBits, c.stopBits, &t), aErrNone);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(c.dataBits ? CS7 : CS8));
        EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parity);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == 1);
        EXPECT_EQ(t.c_cflag & (PARODD | CRTSCTS | HUPCL), 0u);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        // Only the documented input flags: the C library keeps a private mark there for speed 0.
        const tcflag_t iflag = t.c_iflag & (IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
        EXPECT_EQ(iflag, static_cast<tcflag_t>(IGNBRK | (c.parity ? IGNPAR : 0)));
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
    }
    struct termios t;
    EXPECT_EQ(aSerial_BuildLineSettings(&base, 6, false, 2, 0, &t), aErrParam);
    EXPECT_EQ(aSerial_BuildLineSettings(&base, 6, false, 0, 2, &t), aErrParam);
}

TEST(SerialStream, CreationFailuresAreReportedAndLeaveNothingBehind)
{
    PtyPair pty;
    struct Case {
        const char* name;
        const char* path;
        uint32_t dataBits;
        uint32_t stopBits;
        bool nullOut;
        aErr expected;
    } const cases[] = {
        {"missing path", "/nonexistent/tty-for-test", 0, 0, false, aErrNotFound},
        {"null path", nullptr, 0, 0, false, aErrResource},
        {"seven-bit option out of range", pty.path.c_str(), 2, 0, false, aErrResource},
        {"stop-bit option out of range", pty.path.c_str(), 0, 2, false, aErrResource},
        {"null output", pty.path.c_str(), 0, 0, true, aErrResource},
        {"not a terminal", "/dev/null", 0, 0, false, aErrIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        aStream* s = nullptr;
        EXPECT_EQ(aStream_CreateSerial(c.path, 6, false, c.dataBits, c.stopBits, c.nullOut ? nullptr : &s), c.expected);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(aStream_CreateSerial_Packetized(c.path, 6, false, c.dataBits, c.stopBits, c.nullOut ? nullptr : &s),
                  c.expected);
        EXPECT_EQ(s, nullptr);
    }
}

TEST(SerialStream, PlainStreamMovesRawBytesBothWaysAndIdlesAsNotReady)
{
    PtyPair pty;
    StreamPtr s = openPlain(pty);
    ASSERT_TRUE(s);

    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);

    // Bytes a cooked line would translate or act upon.
    const Bytes out{0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x00, 0xFF, 0x04};
    ASSERT_EQ(aStream_Write(s.get(), out.data(), out.size()), aErrNone);
    EXPECT_EQ(pty.receive(out.size()), out);
    ASSERT_EQ(aStream_Write(s.get(), &out[3], 1), aErrNone);
    EXPECT_EQ(pty.receive(1), Bytes{out[3]});

    pty.send(out);
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), out.size(), in), aErrNone);
    EXPECT_EQ(in, out);
    EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);
}

TEST(SerialStream, PlainStreamReportsAPortThatHasGone)
{
    PtyPair pty;
    StreamPtr s = openPlain(pty);
    ASSERT_TRUE(s);
    pty.closeMaster();
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), 1, in), aErrIO);
}

TEST(FramedSerialStream, SendsEveryPacketSizeAsOneFrame)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    for (size_t size = 0; size <= aPACKET_MAXDATA; ++size) {
        SCOPED_TRACE("data bytes " + std::to_string(size));
        const Bytes packet = makePacket(4, size, static_cast<uint8_t>(size));
        ASSERT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
        const Bytes wire = pty.receive(kCobsFrameMaxWire, 0);
        ASSERT_FALSE(wire.empty());
        ASSERT_EQ(wire.back(), 0);
        Bytes decoded(wire.size());
        decoded.resize(cobs_decode(wire.data(), wire.size() - 1, decoded.data()));
        ASSERT_EQ(decoded.size(), packet.size() + 1);
        EXPECT_EQ(Bytes(decoded.begin(), decoded.end() - 1), packet);
        EXPECT_EQ(decoded.back(), crc8_create(packet.data(), packet.size()));
    }
}

TEST(FramedSerialStream, SeveralPacketsInOneWriteLeaveAsSeparateFrames)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    const Bytes a = makePacket(2, 0, 0), b = makePacket(6, 28, 9), c = makePacket(8, 3, 1);
    Bytes pooled = a;
    pooled.insert(pooled.end(), b.begin(), b.end());
    pooled.insert(pooled.end(), c.begin(), c.end());
    ASSERT_EQ(aStream_Write(s.get(), pooled.data(), pooled.size()), aErrNone);
    Bytes expected = frameOf(a);
    for (const Bytes& p : {b, c}) {
        const Bytes f = frameOf(p);
        expected.insert(expected.end(), f.begin(), f.end());
    }
    EXPECT_EQ(pty.receive(expected.size()), expected);
}

TEST(FramedSerialStream, ReceivesEveryPacketSizeUpToTheLargest)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    for (size_t size = 0; size <= aPACKET_MAXDATA; ++size) {
        SCOPED_TRACE("data bytes " + std::to_string(size));
        const Bytes packet = makePacket(6, size, static_cast<uint8_t>(3 * size));
        pty.send(frameOf(packet));
        Bytes in;
        ASSERT_EQ(readBytes(s.get(), packet.size(), in), aErrNone);
        EXPECT_EQ(in, packet);
    }
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);
}

TEST(FramedSerialStream, BadFramesAreReportedOnceAndTheLineRecovers)
{
    const Bytes good = makePacket(4, 5, 7);
    Bytes badCrc = good;
    badCrc.push_back(static_cast<uint8_t>(crc8_create(good.data(), good.size()) ^ 0x40));
    Bytes badCrcWire(cobs_max_encoded_length(badCrc.size()));
    badCrcWire.resize(cobs_encode(badCrc.data(), badCrc.size(), badCrcWire.data()));
    badCrcWire.push_back(0);

    Bytes wrongLength = good;
    wrongLength[1] = 1;  // five data bytes follow, the length says one
    Bytes overLong(45, 0x55);
    overLong.push_back(0);
    Bytes badCode{0x09, 0x04, 0x00};  // code points past the end of the frame

    struct Case {
        const char* name;
        Bytes wire;
    } const cases[] = {
        {"wrong CRC", badCrcWire},
        {"length byte disagrees", frameOf(wrongLength)},
        {"frame longer than any packet", overLong},
        {"code byte past the end", Bytes{0x09, 0x04, 0x00}},
        {"too short to hold a packet", Bytes{0x02, 0x04, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        StreamPtr s = openFramed(pty);
        ASSERT_TRUE(s);
        pty.send(c.wire);
        Bytes in;
        EXPECT_EQ(readBytes(s.get(), 1, in), aErrPacket);
        EXPECT_TRUE(in.empty());
        pty.send(frameOf(good));
        in.clear();
        EXPECT_EQ(readBytes(s.get(), good.size(), in), aErrNone);
        EXPECT_EQ(in, good);
    }
}

TEST(FramedSerialStream, EmptyFramesAreIgnored)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    const Bytes good = makePacket(2, 0, 0);
    Bytes wire{0, 0, 0};
    const Bytes f = frameOf(good);
    wire.insert(wire.end(), f.begin(), f.end());
    pty.send(wire);
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), good.size(), in), aErrNone);
    EXPECT_EQ(in, good);
}

TEST(FramedSerialStream, BytesThatFormNoPacketAreDropped)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    // A zero address and an over-long length are refused; the next packet still goes out whole.
    const Bytes junk{0x00, 0x04, 0x1D, 0x06, 0x01, 0x42};
    ASSERT_EQ(aStream_Write(s.get(), junk.data(), junk.size()), aErrNone);
    const Bytes expected = frameOf(Bytes{0x06, 0x01, 0x42});
    EXPECT_EQ(pty.receive(expected.size()), expected);
}

TEST(FramedSerialStream, AFailingPortReachesTheReader)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    pty.closeMaster();
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), 1, in), aErrIO);
}

TEST(FramedSerialStream, CobsLayerNeedsAnOutput)
{
    EXPECT_EQ(aStream_CreateCobsEncoding(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), aErrParam);
}

} // namespace

namespace {

// The reader and the writer run at once, as the link engine runs them: a peer
// echoing every frame back must return every packet, whole and in order.
TEST(FramedSerialStream, ReaderAndWriterRunConcurrently)
{
    PtyPair pty;
    StreamPtr s = openFramed(pty);
    ASSERT_TRUE(s);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        uint8_t buffer[256];
        while (!stop) {
            struct pollfd p = {pty.master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = read(pty.master, buffer, sizeof buffer);
            for (ssize_t done = 0; n > 0 && done < n && !stop;) {
                const ssize_t w = write(pty.master, buffer + done, static_cast<size_t>(n - done));
                if (w > 0)
                    done += w;
                else
                    poll(nullptr, 0, 1);
            }
        }
    });

    Bytes expected;
    std::vector<Bytes> packets;
    for (int i = 0; i < 120; ++i) {
        packets.push_back(makePacket(static_cast<uint8_t>(2 + 2 * (i % 50)), static_cast<size_t>(i % 29),
                                     static_cast<uint8_t>(i)));
        expected.insert(expected.end(), packets.back().begin(), packets.back().end());
    }
    Bytes received;
    aErr readResult = aErrNone;
    std::thread reader([&] { readResult = readBytes(s.get(), expected.size(), received, std::chrono::seconds(20)); });
    for (const Bytes& p : packets)
        ASSERT_EQ(aStream_Write(s.get(), p.data(), p.size()), aErrNone);
    reader.join();
    stop = true;
    echo.join();
    EXPECT_EQ(readResult, aErrNone);
    EXPECT_EQ(received, expected);
}

} // namespace
