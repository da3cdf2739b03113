#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "MemoryStream.h"
#include "aStream.h"

namespace {

// Reads exactly size bytes, retrying on aErrNotReady a bounded number of times.
aErr readPatiently(aStream* stream, uint8_t* buffer, size_t size, int attempts = 500)
{
    aErr result = aErrNotReady;
    for (int i = 0; i < attempts && result == aErrNotReady; ++i)
        result = aStream_Read(stream, buffer, size);
    return result;
}

TEST(MemoryStream, CarriesBytesBothWays)
{
    MemoryStreamPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_TRUE(pair.peerWrite("ping", 4));
    uint8_t in[4];
    ASSERT_EQ(readPatiently(pair.stream(), in, 4), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "ping");

    const uint8_t one = 'x';
    const uint8_t block[] = {'p', 'o', 'n', 'g'};
    ASSERT_EQ(aStream_Write(pair.stream(), &one, 1), aErrNone);
    ASSERT_EQ(aStream_Write(pair.stream(), block, 4), aErrNone);
    char out[5];
    ASSERT_TRUE(pair.peerReadExactly(out, 5, 2000));
    EXPECT_EQ(std::string(out, 5), "xpong");
}

TEST(MemoryStream, EmptyIsNotReadyAndAClosedPeerEndsTheStream)
{
    MemoryStreamPair pair;
    ASSERT_TRUE(pair.ok());
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(pair.stream(), &byte, 1), aErrNotReady);
    ASSERT_TRUE(pair.peerWrite("z", 1));
    pair.closePeer();
    uint8_t two[2] = {0, 0};
    EXPECT_EQ(readPatiently(pair.stream(), two, 2), aErrEOF);
    EXPECT_EQ(two[0], 'z') << "bytes before the end are still delivered";
    EXPECT_NE(aStream_Write(pair.stream(), two, 2), aErrNone) << "no SIGPIPE, an error";
    EXPECT_FALSE(pair.peerWrite("a", 1));
}

TEST(MemoryStream, ReleasedStreamClosesItsEndWhenDestroyed)
{
    MemoryStreamPair pair;
    ASSERT_TRUE(pair.ok());
    aStream* stream = pair.release();
    EXPECT_EQ(pair.stream(), nullptr);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    char byte = 0;
    EXPECT_EQ(pair.peerRead(&byte, 1, 2000), 0) << "end of stream";
}

// The link engine reads on one thread and writes on another; the stream must allow that.
TEST(MemoryStream, OneReaderAndOneWriterThreadAtOnce)
{
    MemoryStreamPair pair;
    ASSERT_TRUE(pair.ok());
    constexpr size_t kBytes = 20000;
    std::vector<uint8_t> received;
    std::atomic<bool> readerFailed{false};
    std::thread reader([&] {
        uint8_t chunk[7];
        int idle = 0;
        while (received.size() < kBytes && idle < 1000) {
            const size_t want = std::min(sizeof chunk, kBytes - received.size());
            const aErr result = aStream_Read(pair.stream(), chunk, want);
            if (result == aErrNone) {
                received.insert(received.end(), chunk, chunk + want);
                idle = 0;
            } else if (result == aErrNotReady) {
                ++idle;
            } else {
                readerFailed = true;
                return;
            }
        }
    });
    std::thread writer([&] {
        for (size_t i = 0; i < kBytes; i += 100) {
            uint8_t block[100];
            for (size_t j = 0; j < sizeof block; ++j)
                block[j] = static_cast<uint8_t>((i + j) * 13);
            if (aStream_Write(pair.stream(), block, sizeof block) != aErrNone)
                return;
        }
    });
    // Echo what the writer sends back to the reader, as a peer module would.
    std::vector<uint8_t> echoed;
    while (echoed.size() < kBytes) {
        uint8_t buffer[512];
        const ssize_t n = pair.peerRead(buffer, sizeof buffer, 2000);
        if (n <= 0)
            break;
        echoed.insert(echoed.end(), buffer, buffer + n);
        if (!pair.peerWrite(buffer, static_cast<size_t>(n)))
            break;
    }
    writer.join();
    reader.join();
    EXPECT_FALSE(readerFailed);
    ASSERT_EQ(echoed.size(), kBytes);
    ASSERT_EQ(received.size(), kBytes);
    for (size_t i = 0; i < kBytes; ++i)
        ASSERT_EQ(received[i], static_cast<uint8_t>(i * 13)) << i;
}

} // namespace
