// Test helpers for transport streams: an owning stream pointer and a bounded
// byte-by-byte reader that skips "not ready" answers.
#ifndef TESSALINE_TEST_STREAMREADING_H
#define TESSALINE_TEST_STREAMREADING_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "aStream.h"

namespace stream_reading {

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using StreamPtr = std::unique_ptr<aStream, StreamDeleter>;

// Reads up to `count` bytes into `out`, one at a time. aErrNone once all came;
// the first result other than a byte or "not ready"; aErrNotReady at the deadline.
inline aErr readBytes(aStream* stream, size_t count, std::vector<uint8_t>& out,
                      std::chrono::milliseconds wait = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        uint8_t byte = 0;
        const aErr e = aStream_Read(stream, &byte, 1);
        if (e == aErrNone)
            out.push_back(byte);
        else if (e != aErrNotReady)
            return e;
    }
    return out.size() == count ? aErrNone : aErrNotReady;
}

} // namespace stream_reading

#endif
