// Feeds arbitrary bytes to the frame decoder: decoding must stay within its
// buffers, and whatever decodes must encode back to the same bytes.
#include "aCobs.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> decoded(size + 1);
    const size_t n = cobs_decode(data, size, decoded.data());
    if (n > size)
        std::abort();

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
    (void)crc8_create(data, size);
    return 0;
}
