/*
 * COBS byte stuffing and the CRC-8 (Dallas/Maxim 1-Wire) used to frame link
 * packets on serial lines: each packet travels as COBS(packet + CRC) + 0x00.
 */
#ifndef _aCobs_H_
#define _aCobs_H_

#include <cstddef>
#include <cstdint>

/* Worst-case encoded size of `length` bytes: one code byte per started run of 254. */
constexpr size_t cobs_max_encoded_length(size_t length)
{
    return length + length / 254 + 1;
}

/* Exact encoded size of `length` bytes of `src`. */
size_t cobs_encoded_length(const uint8_t* src, size_t length);

/* Encodes `length` bytes of `src` into `dst` (room for cobs_max_encoded_length);
 * returns the encoded length. The output contains no zero byte. */
size_t cobs_encode(const uint8_t* src, size_t length, uint8_t* dst);

/* Encodes in place; `buffer` must have room for cobs_max_encoded_length(length).
 * Returns the encoded length. */
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

/* Decodes `length` encoded bytes (no delimiter) into `dst` (room for `length`
 * bytes). Returns the decoded length, or 0 when the input is malformed (a code
 * byte pointing past the end, or a zero byte). */
size_t cobs_decode(const uint8_t* src, size_t length, uint8_t* dst);

/* Decodes in place; same results as cobs_decode. */
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

/* CRC-8/MAXIM: reflected polynomial 0x31 (0x8C), initial 0, no final xor. */
uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* data, size_t length);
bool crc8_check(uint8_t crc, const uint8_t* data, size_t length);

#endif /* _aCobs_H_ */
