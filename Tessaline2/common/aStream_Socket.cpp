#include "aStream_Socket.h"

#include "aDescriptor.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr int kIdlePollMs = 10;
constexpr int kCloseSettleMs = 10;
constexpr size_t kReceiveBlock = 4096;

struct SocketRecord {
    // Guards sock and connected: the reader and the writer may both reconnect.
    std::mutex lock;
    int sock = 0;
    struct sockaddr_in address {};
    bool connected = false;
    uint16_t check = 0;
    // Counts closes, so the reader can tell that its buffered bytes belong to
    // a connection the writer has since dropped.
    std::atomic<uint32_t> connection{0};
    // Receive block: touched only by the single reader thread.
    uint32_t rxConnection = 0;
    size_t rxHead = 0;
    size_t rxTail = 0;
    uint8_t rx[kReceiveBlock];
};

SocketRecord* sValid(void* ref)
{
    auto* r = static_cast<SocketRecord*>(ref);
    return (r && r->check == kSocketCheck) ? r : nullptr;
}

bool sIsBreak(int error)
{
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

// Caller holds the lock.
void sSocketStreamClose(SocketRecord* r)
{
    r->connected = false;
    r->connection.fetch_add(1, std::memory_order_relaxed);
    if (r->sock > 0) {
        close(r->sock);
        r->sock = 0;
        poll(nullptr, 0, kCloseSettleMs);
    }
}

// Caller holds the lock.
aErr sSocketStreamSetOptions(SocketRecord* r)
{
    const int one = 1;
    const struct timeval noTimeout = {0, 0};
    const struct linger resetOnClose = {1, 0};
    if (setsockopt(r->sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        setsockopt(r->sock, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
        setsockopt(r->sock, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0)
        return aErrIO;
    const int flags = fcntl(r->sock, F_GETFL);
    if (flags < 0 || fcntl(r->sock, F_SETFL, flags | O_NONBLOCK) != 0)
        return aErrIO;
    return aErrNone;
}

// Caller holds the lock.
aErr sSocketStreamReset(SocketRecord* r)
{
    if (r->check != kSocketCheck)
        return aErrInitialization;
    sSocketStreamClose(r);
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return aErrIO;
    sock = aDescriptor_AvoidZero(sock);
    if (sock < 0)
        return aErrIO;
    if (connect(sock, reinterpret_cast<const struct sockaddr*>(&r->address), sizeof r->address) != 0) {
        const int error = errno;
        close(sock);
        return (error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED)
                   ? aErrConnection
                   : aErrIO;
    }
    r->sock = sock;
    r->connected = true;
    return sSocketStreamSetOptions(r);
}

// Caller holds the lock. Fills the receive block from the socket: aErrNone
// when at least one byte came, aErrEOF when the peer has closed its side.
aErr sSocketStreamFill(SocketRecord* r)
{
    ssize_t n = recv(r->sock, r->rx, sizeof r->rx, MSG_DONTWAIT);
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
            return aErrNotReady;
        if (!sIsBreak(error))
            return aErrConnection;
        r->connected = false;
        const aErr reconnect = sSocketStreamReset(r);
        if (reconnect != aErrNone)
            return reconnect;
        n = recv(r->sock, r->rx, sizeof r->rx, MSG_DONTWAIT);
        if (n < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? aErrNotReady : aErrConnection;
    }
    if (n == 0)
        return aErrEOF;
    r->rxConnection = r->connection.load(std::memory_order_relaxed);
    r->rxHead = 0;
    r->rxTail = static_cast<size_t>(n);
    return aErrNone;
}

aErr sSocketStreamGet(uint8_t* byte, void* ref)
{
    SocketRecord* r = sValid(ref);
    if (!r || !byte)
        return aErrParam;

    if (r->rxHead < r->rxTail) {
        if (r->connection.load(std::memory_order_relaxed) == r->rxConnection) {
            *byte = r->rx[r->rxHead++];
            return aErrNone;
        }
        r->rxHead = r->rxTail = 0;
    }

    int sock = 0;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (!r->connected)
            return aErrConnection;
        sock = r->sock;
    }
    // Wait for data without the lock so the writer is never held up; a
    // descriptor swapped meanwhile only shortens or lengthens this wait.
    struct pollfd p = {sock, POLLIN, 0};
    poll(&p, 1, kIdlePollMs);

    aErr filled;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        filled = r->connected ? sSocketStreamFill(r) : aErrConnection;
    }
    if (filled == aErrEOF) {
        // The peer closed its side: stay connected but silent. The socket
        // now polls readable for ever, so pause here instead of spinning.
        poll(nullptr, 0, kIdlePollMs);
        return aErrNotReady;
    }
    if (filled != aErrNone)
        return filled;
    *byte = r->rx[r->rxHead++];
    return aErrNone;
}

aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* ref)
{
    SocketRecord* r = sValid(ref);
    if (!r || (!data && length))
        return aErrParam;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        if (!r->connected)
            return aErrConnection;
    }
    const uint32_t total = static_cast<uint32_t>(length);
    uint32_t sent = 0;
    unsigned attempts = 0;
    while (sent < total && attempts < kSocketWriteAttempts) {
        {
            std::lock_guard<std::mutex> guard(r->lock);
            const ssize_t n = r->sock > 0 ? send(r->sock, data + sent, total - sent, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
            const int error = r->sock > 0 ? errno : ENOTCONN;
            if (n > 0) {
                sent += static_cast<uint32_t>(n);
                if (sent == total)
                    break;
                attempts = 1;
            } else if (n < 0 && (error == EPIPE || error == ECONNRESET || error == ENOTCONN)) {
                r->connected = false;
                sSocketStreamReset(r);
                ++attempts;
            } else {
                ++attempts;
            }
        }
        poll(nullptr, 0, kSocketWriteRetryMs);
    }
    return aErrNone;
}

aErr sSocketStreamPut(const uint8_t* byte, void* ref)
{
    return sSocketStreamWrite(byte, 1, ref);
}

aErr sSocketStreamDelete(void* ref)
{
    SocketRecord* r = sValid(ref);
    if (!r)
        return aErrIO;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        sSocketStreamClose(r);
        r->check = 0;
    }
    delete r;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream)
{
    if (!stream)
        return aErrResource;
    *stream = nullptr;
    auto* r = new (std::nothrow) SocketRecord;
    if (!r)
        return aErrResource;
    r->address.sin_family = AF_INET;
    r->address.sin_port = htons(port);
    r->address.sin_addr.s_addr = address;
    r->check = kSocketCheck;
    aErr result;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        result = sSocketStreamReset(r);
        if (result != aErrNone)
            sSocketStreamClose(r);
    }
    if (result == aErrNone)
        *stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite, sSocketStreamDelete, r);
    if (!*stream) {
        std::lock_guard<std::mutex> guard(r->lock);
        sSocketStreamClose(r);
        r->check = 0;
    }
    if (!*stream) {
        delete r;
        return aErrResource;
    }
    return aErrNone;
}
