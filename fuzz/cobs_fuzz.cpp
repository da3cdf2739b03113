// Feeds arbitrary bytes to the frame decoder and to the framed stream's
// receive side: decoding must stay within its buffers, whatever decodes must
// encode back to the same bytes, and the stream may only hand out whole packets.
#include "aCobs.h"
#include "aStream_Serial.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t position;
};

aErr sInputGet(uint8_t* byte, void* ref)
{
    auto* in = static_cast<Input*>(ref);
    if (in->position >= in->size)
        return aErrNotReady;
    *byte = in->data[in->position++];
    return aErrNone;
}

void sCheckDecoder(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> decoded(size + 1);
    const size_t n = cobs_decode(data, size, decoded.data());
    if (n > size || (size == 0 && n != 0))
        std::abort();
    if (size == 0)
        return;

    std::vector<uint8_t> inplace(data, data + size);
    if (cobs_decode_inplace(inplace.data(), size) != n || std::memcmp(inplace.data(), decoded.data(), n) != 0)
        std::abort();

    if (n > 0) {
        std::vector<uint8_t> again(cobs_max_encoded_length(n));
        const size_t m = cobs_encode(decoded.data(), n, again.data());
        std::vector<uint8_t> back(m + 1);
        if (cobs_decode(again.data(), m, back.data()) != n || std::memcmp(back.data(), decoded.data(), n) != 0)
            std::abort();
    }
}

void sCheckFramedStream(const uint8_t* data, size_t size)
{
    Input input{data, size, 0};
    aStream* stream = nullptr;
    if (aStream_CreateCobsEncoding(sInputGet, nullptr, nullptr, nullptr, &input, &stream) != aErrNone)
        std::abort();
    std::vector<uint8_t> out;
    // Every call consumes input or hands out a byte, so this ends.
    for (size_t calls = 0; calls < 4 * size + 64; ++calls) {
        uint8_t byte = 0;
        const aErr e = aStream_Read(stream, &byte, 1);
        if (e == aErrNone)
            out.push_back(byte);
        else if (e == aErrNotReady && input.position >= input.size)
            break;
        else if (e != aErrNotReady && e != aErrPacket)
            std::abort();
    }
    aStream_Destroy(&stream);

    // What came out is a sequence of whole packets.
    for (size_t i = 0; i < out.size();) {
        if (i + 2 > out.size() || out[i + 1] > aPACKET_MAXDATA)
            std::abort();
        i += 2 + out[i + 1];
        if (i > out.size())
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sCheckDecoder(data, size);
    sCheckFramedStream(data, size);
    (void)crc8_create(data, size);
    return 0;
}
