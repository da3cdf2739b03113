#include "aCobs.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Bit-by-bit CRC-8/MAXIM, independent of the library's table.
uint8_t referenceCrc8(const Bytes& data)
{
    uint8_t crc = 0;
    for (uint8_t byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = (crc ^ byte) & 1;
            crc >>= 1;
            if (mix)
                crc ^= 0x8C;
            byte >>= 1;
        }
    }
    return crc;
}

Bytes encode(const Bytes& in)
{
    Bytes out(cobs_max_encoded_length(in.size()));
    out.resize(cobs_encode(in.data(), in.size(), out.data()));
    return out;
}

Bytes decode(const Bytes& in)
{
    Bytes out(in.size() + 1);
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}

// A link packet framed for the serial line: COBS(packet + CRC) and a delimiter.
Bytes frame(const Bytes& packet)
{
    Bytes withCrc = packet;
    withCrc.push_back(crc8_create(packet.data(), packet.size()));
    Bytes out = encode(withCrc);
    out.push_back(0);
    return out;
}

struct FrameCase {
    const char* name;
    Bytes packet;
    uint8_t crc;
    Bytes wire;
};

TEST(CobsFrame, KnownPacketsGiveKnownFrames)
{
    const FrameCase cases[] = {
        {"empty packet", {0x02, 0x00}, 0x91, {0x02, 0x02, 0x02, 0x91, 0x00}},
        {"announce", {0xAD, 0x00}, 0x67, {0x02, 0xAD, 0x02, 0x67, 0x00}},
        {"heartbeat answer", {0x04, 0x02, 0x00, 0x03}, 0xA3, {0x03, 0x04, 0x02, 0x03, 0x03, 0xA3, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(crc8_create(c.packet.data(), c.packet.size()), c.crc);
        EXPECT_TRUE(crc8_check(c.crc, c.packet.data(), c.packet.size()));
        EXPECT_FALSE(crc8_check(static_cast<uint8_t>(c.crc ^ 1), c.packet.data(), c.packet.size()));
        EXPECT_EQ(frame(c.packet), c.wire);
    }
}

TEST(Crc8, CheckValueAndTableAgreeWithBitwiseDefinition)
{
    const std::string digits = "123456789";
    const Bytes check(digits.begin(), digits.end());
    EXPECT_EQ(crc8_create(check.data(), check.size()), 0xA1);

    for (unsigned crc = 0; crc < 256; ++crc)
        for (unsigned byte = 0; byte < 256; byte += 17) {
            // Feeding one byte from state `crc` equals the bitwise CRC of a
            // prefix that leaves `crc` behind; check the step function directly.
            uint8_t expected = static_cast<uint8_t>(crc ^ byte);
            for (int bit = 0; bit < 8; ++bit)
                expected = (expected & 1) ? static_cast<uint8_t>((expected >> 1) ^ 0x8C)
                                          : static_cast<uint8_t>(expected >> 1);
            ASSERT_EQ(crc8_update(static_cast<uint8_t>(crc), static_cast<uint8_t>(byte)), expected);
        }
    EXPECT_EQ(crc8_create(nullptr, 4), 0);
}

struct EncodeCase {
    const char* name;
    Bytes in;
    Bytes out;
};

TEST(Cobs, EncodesAndDecodesTableOfCases)
{
    Bytes run254(254), run255(255);
    for (size_t i = 0; i < run255.size(); ++i)
        run255[i] = static_cast<uint8_t>(i % 255 + 1);
    run254.assign(run255.begin(), run255.begin() + 254);
    Bytes run254Out{0xFF};
    run254Out.insert(run254Out.end(), run254.begin(), run254.end());
    Bytes run255Out = run254Out;
    run255Out.push_back(0x02);
    run255Out.push_back(run255.back());

    const EncodeCase cases[] = {
        {"empty", {}, {0x01}},
        {"single zero", {0x00}, {0x01, 0x01}},
        {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
        {"zero in middle", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {"trailing zero", {0x11, 0x00}, {0x02, 0x11, 0x01}},
        {"run of 254", run254, run254Out},
        {"run of 255", run255, run255Out},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encode(c.in), c.out);
        EXPECT_EQ(cobs_encoded_length(c.in.data(), c.in.size()), c.out.size());
        if (!c.in.empty()) {
            EXPECT_EQ(decode(c.out), c.in);
        }
    }
}

TEST(Cobs, MalformedInputDecodesToNothing)
{
    const EncodeCase cases[] = {
        {"code past end", {0x05, 0x11, 0x22}, {}},
        {"zero code", {0x00, 0x11}, {}},
        {"zero inside run", {0x03, 0x11, 0x00}, {}},
        {"second code past end", {0x02, 0x11, 0x04, 0x22}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(c.in.size() + 1, 0xEE);
        EXPECT_EQ(cobs_decode(c.in.data(), c.in.size(), out.data()), 0u);
    }
    uint8_t dummy = 0;
    EXPECT_EQ(cobs_decode(&dummy, 0, &dummy), 0u);
}

// Random packets of every size, zero-rich and zero-free: the in-place variants
// agree with the copying ones, frames never contain zero, and decoding
// restores the input.
TEST(Cobs, RoundTripPropertyOverRandomInput)
{
    std::mt19937 rng(12345);
    for (int iteration = 0; iteration < 3000; ++iteration) {
        const size_t length = iteration < 600 ? static_cast<size_t>(iteration) : rng() % 1200;
        const unsigned zeroPercent = rng() % 4 == 0 ? 0 : rng() % 60;
        Bytes in(length);
        for (auto& b : in)
            b = (rng() % 100 < zeroPercent) ? 0 : static_cast<uint8_t>(rng() % 255 + 1);

        const Bytes enc = encode(in);
        ASSERT_LE(enc.size(), cobs_max_encoded_length(length));
        for (uint8_t b : enc)
            ASSERT_NE(b, 0);

        Bytes inplace = in;
        inplace.resize(cobs_max_encoded_length(length));
        inplace.resize(cobs_encode_inplace(inplace.data(), length));
        ASSERT_EQ(inplace, enc) << "length " << length;

        if (length == 0)
            continue;
        ASSERT_EQ(decode(enc), in) << "length " << length;
        Bytes back = enc;
        back.resize(cobs_decode_inplace(back.data(), back.size()));
        ASSERT_EQ(back, in) << "length " << length;

        ASSERT_EQ(crc8_create(in.data(), in.size()), referenceCrc8(in));
    }
}

} // namespace
