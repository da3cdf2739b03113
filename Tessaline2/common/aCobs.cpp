#include "aCobs.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 256> sMakeCrc8Table()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint8_t, 256> _crc8LUT = sMakeCrc8Table();

/* Forward encoder shared by the copying and the in-place variant. Reading
 * src[i] always happens before dst[i + overhead] is written, which keeps the
 * in-place variant safe once the input has been moved up by the overhead. */
size_t sEncode(const uint8_t* src, size_t length, uint8_t* dst)
{
    size_t out = 1;
    size_t codeAt = 0;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = src[i];
        if (byte == 0) {
            dst[codeAt] = code;
            codeAt = out++;
            code = 1;
            continue;
        }
        dst[out++] = byte;
        if (++code == 0xFF && i + 1 < length) {
            dst[codeAt] = code;
            codeAt = out++;
            code = 1;
        }
    }
    dst[codeAt] = code;
    return out;
}

} // namespace

size_t cobs_encoded_length(const uint8_t* src, size_t length)
{
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        if (src[i] == 0) {
            ++out;
            code = 1;
            continue;
        }
        ++out;
        if (++code == 0xFF && i + 1 < length) {
            ++out;
            code = 1;
        }
    }
    return out;
}

size_t cobs_encode(const uint8_t* src, size_t length, uint8_t* dst)
{
    if (!dst || (!src && length))
        return 0;
    return sEncode(src, length, dst);
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length)
{
    if (!buffer)
        return 0;
    const size_t encoded = cobs_encoded_length(buffer, length);
    const size_t overhead = encoded - length;
    std::memmove(buffer + overhead, buffer, length);
    return sEncode(buffer + overhead, length, buffer);
}

size_t cobs_decode(const uint8_t* src, size_t length, uint8_t* dst)
{
    if (!src || !dst || length == 0)
        return 0;
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        const uint8_t code = src[in++];
        if (code == 0 || in + code - 1 > length)
            return 0;
        for (uint8_t k = 1; k < code; ++k) {
            const uint8_t byte = src[in++];
            if (byte == 0)
                return 0;
            dst[out++] = byte;
        }
        if (code != 0xFF && in < length)
            dst[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length)
{
    /* The write position never passes the read position. */
    return cobs_decode(buffer, length, buffer);
}

uint8_t crc8_update(uint8_t crc, uint8_t byte)
{
    return _crc8LUT[crc ^ byte];
}

uint8_t crc8_create(const uint8_t* data, size_t length)
{
    uint8_t crc = 0;
    if (!data)
        return crc;
    for (size_t i = 0; i < length; ++i)
        crc = crc8_update(crc, data[i]);
    return crc;
}

bool crc8_check(uint8_t crc, const uint8_t* data, size_t length)
{
    return crc8_create(data, length) == crc;
}
