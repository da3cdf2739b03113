// Test helper: an aStream over one end of a socket pair, so code that drives a stream (the link
// engine, protocol clients) can run against an in-process peer that the test controls.
//
//   MemoryStreamPair pair;              // pair.stream() for the code under test
//   pair.peerWrite("\x01\x02", 2);      // bytes the code will read
//   pair.peerReadExactly(buf, 4, 1000); // bytes the code wrote
//   aStream* s = pair.release();        // hand the stream to an owner that destroys it
//
// The get procedure waits up to kMemoryStreamPollMs for a byte before answering aErrNotReady, so
// a reader loop on it does not spin. Every wait here is bounded.
#ifndef TESSALINE_TEST_MEMORYSTREAM_H
#define TESSALINE_TEST_MEMORYSTREAM_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "aError.h"
#include "aStream.h"
#include "aTime.h"

namespace memory_stream {

constexpr int kMemoryStreamPollMs = 10;
// How long a put or write waits for room before giving up with aErrTimeout.
constexpr int kMemoryStreamWriteWaitMs = 2000;

struct End {
    int fd;
};

// Waits for events on fd for at most timeoutMs: >0 ready, 0 timed out, <0 failed.
inline int waitFor(int fd, short events, int timeoutMs)
{
    struct pollfd entry = {fd, events, 0};
    int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0 && errno == EINTR)
        return 0;
    return ready;
}

inline aErr get(uint8_t* out, void* ref)
{
    const int fd = static_cast<End*>(ref)->fd;
    const int ready = waitFor(fd, POLLIN, kMemoryStreamPollMs);
    if (ready == 0)
        return aErrNotReady;
    if (ready < 0)
        return aErrIO;
    const ssize_t got = recv(fd, out, 1, MSG_DONTWAIT);
    if (got == 1)
        return aErrNone;
    if (got == 0)
        return aErrEOF;
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? aErrNotReady : aErrIO;
}

inline aErr write(const uint8_t* data, size_t length, void* ref)
{
    const int fd = static_cast<End*>(ref)->fd;
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return aErrWrite;
        if (waitFor(fd, POLLOUT, kMemoryStreamWriteWaitMs) <= 0)
            return aErrTimeout;
    }
    return aErrNone;
}

inline aErr put(const uint8_t* byte, void* ref)
{
    return write(byte, 1, ref);
}

inline aErr destroy(void* ref)
{
    End* end = static_cast<End*>(ref);
    const int closed = close(end->fd);
    delete end;
    return closed == 0 ? aErrNone : aErrIO;
}

} // namespace memory_stream

// A stream over fd with get, put and write procedures; destroying the stream closes fd.
// Null when the stream cannot be made (fd is then left open).
inline aStream* MemoryStream_Create(int fd)
{
    auto* end = new memory_stream::End{fd};
    aStream* stream = aStream_Create(memory_stream::get, memory_stream::put, memory_stream::write,
                                     memory_stream::destroy, end);
    if (stream == nullptr)
        delete end;
    return stream;
}

// A connected socket pair: one end as an aStream, the other as the test's peer descriptor.
class MemoryStreamPair {
public:
    MemoryStreamPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        stream_ = MemoryStream_Create(fds[0]);
        if (stream_ == nullptr) {
            close(fds[0]);
            close(fds[1]);
            return;
        }
        peer_ = fds[1];
    }
    ~MemoryStreamPair()
    {
        if (stream_ != nullptr)
            aStream_Destroy(&stream_);
        closePeer();
    }
    MemoryStreamPair(const MemoryStreamPair&) = delete;
    MemoryStreamPair& operator=(const MemoryStreamPair&) = delete;

    bool ok() const { return stream_ != nullptr && peer_ >= 0; }
    aStream* stream() const { return stream_; }
    // Gives up ownership of the stream; the receiver must aStream_Destroy it.
    aStream* release()
    {
        aStream* stream = stream_;
        stream_ = nullptr;
        return stream;
    }
    int peerFd() const { return peer_; }

    // Sends all bytes from the peer side; false when the stream end is gone or stays full.
    bool peerWrite(const void* data, size_t length)
    {
        if (peer_ < 0)
            return false;
        memory_stream::End end{peer_};
        return memory_stream::write(static_cast<const uint8_t*>(data), length, &end) == aErrNone;
    }

    // Reads whatever is there, waiting at most timeoutMs for the first byte. Returns the count,
    // 0 on timeout or end of stream, -1 on failure.
    ssize_t peerRead(void* data, size_t length, int timeoutMs)
    {
        if (peer_ < 0)
            return -1;
        const int ready = memory_stream::waitFor(peer_, POLLIN, timeoutMs);
        if (ready <= 0)
            return ready;
        const ssize_t got = recv(peer_, data, length, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        return got;
    }

    // Reads exactly length bytes within timeoutMs in total.
    bool peerReadExactly(void* data, size_t length, int timeoutMs)
    {
        const uint64_t deadline = aTime_GetMonotonicMSTicks() + static_cast<uint64_t>(timeoutMs);
        size_t got = 0;
        while (got < length) {
            const uint64_t now = aTime_GetMonotonicMSTicks();
            if (now >= deadline)
                return false;
            const ssize_t n = peerRead(static_cast<uint8_t*>(data) + got, length - got,
                                       static_cast<int>(deadline - now));
            if (n < 0)
                return false;
            if (n == 0 && memory_stream::waitFor(peer_, POLLIN, 0) > 0)
                return false; // readable but nothing read: the stream end was closed
            got += static_cast<size_t>(n);
        }
        return true;
    }

    // The stream then reads aErrEOF and its writes fail.
    void closePeer()
    {
        if (peer_ >= 0) {
            close(peer_);
            peer_ = -1;
        }
    }

private:
    aStream* stream_ = nullptr;
    int peer_ = -1;
};

#endif
