#include "aStream_Socket.h"

#include <gtest/gtest.h>

#include "StreamReading.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using stream_reading::readBytes;
using stream_reading::StreamPtr;

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 5000;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(Fd&& o) noexcept
    {
        reset();
        fd = o.fd;
        o.fd = -1;
        return *this;
    }
    ~Fd() { reset(); }
    void reset()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

uint32_t loopback()
{
    return htonl(INADDR_LOOPBACK);
}

// A loopback TCP server standing in for a module; the test drives it step by step.
struct Server {
    Fd listener;
    uint16_t port = 0;

    explicit Server(int receiveBuffer = 0)
    {
        listener = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (receiveBuffer)
            setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        bind(listener.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener.fd, 4);
        socklen_t len = sizeof a;
        getsockname(listener.fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }

    // A stream connected to this server, and the server's end of it.
    StreamPtr connectStream(Fd& peer) const
    {
        aStream* raw = nullptr;
        EXPECT_EQ(aStream_CreateSocket(loopback(), port, &raw), aErrNone);
        peer = accept();
        EXPECT_GE(peer.fd, 0);
        return StreamPtr(raw);
    }

    Fd accept(int waitMs = kWaitMs) const
    {
        struct pollfd p = {listener.fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0)
            return Fd();
        return Fd(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
    }
};

void sendAll(const Fd& peer, const Bytes& bytes)
{
    ASSERT_EQ(send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

Bytes receive(const Fd& peer, size_t count)
{
    Bytes out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (out.size() < count && Clock::now() < deadline) {
        struct pollfd p = {peer.fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        uint8_t buffer[256];
        const ssize_t n = recv(peer.fd, buffer, sizeof buffer < count - out.size() ? sizeof buffer : count - out.size(), 0);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

void resetConnection(Fd& peer)
{
    const struct linger hard = {1, 0};
    setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    peer.reset();
}

TEST(SocketStream, NoListenerGivesResourceErrorAndNoStream)
{
    uint16_t port;
    {
        Server gone;
        port = gone.port;
    }
    aStream* s = reinterpret_cast<aStream*>(0x1);
    EXPECT_EQ(aStream_CreateSocket(loopback(), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(loopback(), port, nullptr), aErrResource);
}

TEST(SocketStream, MovesBytesBothWaysAndIdlesAsNotReady)
{
    Server server;
    Fd peer;
    StreamPtr s = server.connectStream(peer);
    ASSERT_TRUE(s && peer.fd >= 0);

    uint8_t byte = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);

    const Bytes packet{0x04, 0x03, 0x00, 0x0A, 0xFF};
    ASSERT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(receive(peer, packet.size()), packet);
    ASSERT_EQ(aStream_Write(s.get(), &packet[0], 1), aErrNone);
    EXPECT_EQ(receive(peer, 1), Bytes{packet[0]});

    sendAll(peer, packet);
    Bytes in;
    EXPECT_EQ(readBytes(s.get(), packet.size(), in), aErrNone);
    EXPECT_EQ(in, packet);
}

TEST(SocketStream, ReconnectsAfterThePeerResetsTheConnection)
{
    Server server;
    Fd first;
    StreamPtr s = server.connectStream(first);
    ASSERT_TRUE(s && first.fd >= 0);
    resetConnection(first);

    // The read that notices the reset reconnects; the module greets the new connection.
    Bytes in;
    uint8_t byte = 0;
    const aErr noticed = aStream_Read(s.get(), &byte, 1);
    EXPECT_TRUE(noticed == aErrNotReady || noticed == aErrNone) << noticed;
    Fd second = server.accept();
    ASSERT_GE(second.fd, 0);
    const Bytes hello{0x02, 0x01, 0x55};
    sendAll(second, hello);
    EXPECT_EQ(readBytes(s.get(), hello.size(), in), aErrNone);
    EXPECT_EQ(in, hello);

    // And the write direction repairs itself the same way.
    resetConnection(second);
    const Bytes packet{0x06, 0x00};
    EXPECT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
    Fd third = server.accept();
    ASSERT_GE(third.fd, 0);
    // The first write may have been lost with the old connection; a second one arrives.
    EXPECT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
    const Bytes got = receive(third, packet.size());
    EXPECT_EQ(got, packet);
}

// Bytes the stream has already taken from the socket but not yet handed out
// belong to the old connection: a reconnect by the writer must drop them, or
// the reader would splice stale bytes in front of the new connection's.
TEST(SocketStream, WriterReconnectDropsBytesOfTheOldConnection)
{
    Server server;
    Fd peer;
    StreamPtr s = server.connectStream(peer);
    ASSERT_TRUE(s && peer.fd >= 0);
    const Bytes old{0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18};
    sendAll(peer, old);
    Bytes in;
    ASSERT_EQ(readBytes(s.get(), 1, in), aErrNone);
    EXPECT_EQ(in, Bytes{old[0]});

    resetConnection(peer);
    const Bytes packet{0x06, 0x00};
    for (int attempt = 0; attempt < 20 && peer.fd < 0; ++attempt) {
        ASSERT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
        peer = server.accept(100);
    }
    ASSERT_GE(peer.fd, 0);

    const Bytes fresh{0x21, 0x22, 0x23};
    sendAll(peer, fresh);
    in.clear();
    EXPECT_EQ(readBytes(s.get(), fresh.size(), in), aErrNone);
    EXPECT_EQ(in, fresh);
}

// A long burst crosses many receive blocks and reads of every size; no byte
// may be lost, repeated or reordered at a block edge.
TEST(SocketStream, LongBurstArrivesWholeAndInOrder)
{
    Server server;
    Fd peer;
    StreamPtr s = server.connectStream(peer);
    ASSERT_TRUE(s && peer.fd >= 0);
    Bytes burst(3 * 4096 + 4095);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::thread sender([&] {
        // Several sends so the stream sees both full and partial blocks.
        const size_t pieces[] = {1, 4095, 4097, 5000};
        size_t at = 0;
        for (size_t piece : pieces) {
            const size_t n = std::min(piece, burst.size() - at);
            send(peer.fd, burst.data() + at, n, MSG_NOSIGNAL);
            at += n;
        }
        send(peer.fd, burst.data() + at, burst.size() - at, MSG_NOSIGNAL);
    });

    Bytes in;
    const size_t chunks[] = {1, 2, 63, 64, 65, 700, 4096, 4097};
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    for (size_t k = 0; in.size() < burst.size() && Clock::now() < deadline; ++k) {
        Bytes chunk(std::min(chunks[k % std::size(chunks)], burst.size() - in.size()));
        const aErr e = aStream_Read(s.get(), chunk.data(), chunk.size());
        if (e == aErrNone) {
            in.insert(in.end(), chunk.begin(), chunk.end());
        } else if (e != aErrNotReady) {
            ADD_FAILURE() << "read failed: " << e;
            break;
        }
    }
    sender.join();
    EXPECT_EQ(in, burst);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);
}

TEST(SocketStream, PeerHalfCloseLeavesTheStreamSilentButWritable)
{
    Server server;
    Fd peer;
    StreamPtr s = server.connectStream(peer);
    ASSERT_TRUE(s && peer.fd >= 0);
    sendAll(peer, Bytes{0x08});
    shutdown(peer.fd, SHUT_WR);

    Bytes in;
    EXPECT_EQ(readBytes(s.get(), 1, in), aErrNone);
    uint8_t byte = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(aStream_Read(s.get(), &byte, 1), aErrNotReady);

    const Bytes packet{0x04, 0x01, 0x07};
    EXPECT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(receive(peer, packet.size()), packet);
    // No second connection was made behind the caller's back.
    Fd none = server.accept(100);
    EXPECT_LT(none.fd, 0);
}

TEST(SocketStream, WriteGivesUpWhenThePeerNeverReads)
{
    Server server(4096);
    Fd peer;
    StreamPtr s = server.connectStream(peer);
    ASSERT_TRUE(s && peer.fd >= 0);

    // Far more than both socket buffers hold: the write must come back, not hang.
    const Bytes big(32 * 1024 * 1024, 0x5A);
    EXPECT_EQ(aStream_Write(s.get(), big.data(), big.size()), aErrNone);

    // What did go out arrives intact, and it is less than everything.
    size_t total = 0;
    uint8_t buffer[65536];
    for (;;) {
        struct pollfd p = {peer.fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            break;
        const ssize_t n = recv(peer.fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            ASSERT_EQ(buffer[i], 0x5A);
        total += static_cast<size_t>(n);
    }
    EXPECT_GT(total, 0u);
    EXPECT_LT(total, big.size());
}

TEST(SocketStream, DestroyResetsTheConnection)
{
    Server server;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(loopback(), server.port, &s), aErrNone);
    Fd peer = server.accept();
    ASSERT_GE(peer.fd, 0);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);

    struct pollfd p = {peer.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kWaitMs), 1);
    uint8_t byte;
    EXPECT_EQ(recv(peer.fd, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
}

} // namespace

namespace {

// Reader and writer threads both notice resets and reconnect; the stream must
// come through a series of resets in a usable state.
TEST(SocketStream, ReaderAndWriterSurviveResetsTogether)
{
    Server server;
    Fd peer;
    StreamPtr s = server.connectStream(peer);
    ASSERT_TRUE(s && peer.fd >= 0);

    std::atomic<bool> stop{false};
    std::atomic<size_t> bytesRead{0};
    std::thread reader([&] {
        while (!stop) {
            uint8_t byte;
            if (aStream_Read(s.get(), &byte, 1) == aErrNone)
                ++bytesRead;
        }
    });
    const Bytes packet{0x04, 0x02, 0x11, 0x22};
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(aStream_Write(s.get(), packet.data(), packet.size()), aErrNone);
        sendAll(peer, packet);
        resetConnection(peer);
        // Keep writing until the stream has reconnected.
        for (int attempt = 0; attempt < 20 && peer.fd < 0; ++attempt) {
            aStream_Write(s.get(), packet.data(), packet.size());
            peer = server.accept(100);
        }
        ASSERT_GE(peer.fd, 0) << "round " << round;
        // A duplicate connection made by the other thread is served too.
        Fd extra = server.accept(50);
        if (extra.fd >= 0)
            peer = std::move(extra);
    }
    // Earlier bytes may still be arriving; count from before the last ones are sent.
    poll(nullptr, 0, 50);
    const size_t before = bytesRead;
    const Bytes last{0x08, 0x01, 0x7E};
    sendAll(peer, last);
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (bytesRead < before + last.size() && Clock::now() < deadline)
        poll(nullptr, 0, 10);
    stop = true;
    reader.join();
    EXPECT_GE(bytesRead.load(), before + last.size());
}

} // namespace
