#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base64.h"

namespace {

// Decodes with both entry points and checks that they agree.
std::string decode(const std::string& text, bool* ok)
{
    size_t length = 12345;
    auto bytes = base64_decode(text.data(), text.size(), &length);
    std::string inPlace = text;
    const bool inPlaceOk = base64_decode_in_place(inPlace);
    *ok = bytes != nullptr;
    EXPECT_EQ(inPlaceOk, *ok) << text;
    if (!bytes) {
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(inPlace, text) << "a rejected text must be left as it was";
        return {};
    }
    EXPECT_EQ(bytes[length], 0) << "missing terminating zero byte";
    std::string result(reinterpret_cast<const char*>(bytes.get()), length);
    EXPECT_EQ(inPlace, result);
    return result;
}

// Independent encoder used only to produce round-trip inputs.
std::string encode(const std::string& bytes)
{
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += {a[v >> 18], a[v >> 12 & 63], a[v >> 6 & 63], a[v & 63]};
    }
    if (bytes.size() - i == 1) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {a[v >> 18], a[v >> 12 & 63], '=', '='};
    } else if (bytes.size() - i == 2) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += {a[v >> 18], a[v >> 12 & 63], a[v >> 6 & 63], '='};
    }
    return out;
}

TEST(Base64Decode, Rfc4648Vectors)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& [text, plain] : cases) {
        bool ok = false;
        EXPECT_EQ(decode(text, &ok), plain) << text;
        EXPECT_TRUE(ok) << text;
    }
}

TEST(Base64Decode, RejectsMalformedText)
{
    const char* cases[] = {
        "Zm9", "Zm9vY", "Zm9vYmFy\r", "Zm9v\nYmFy",  // length not a multiple of 4, line breaks
        "Zm9v YmE", "Zm-v", "Zm_v", "Zm9v\x80\x80\x80\x80", "Zm9vYmFyZm9vYm*y",  // outside the alphabet
        "=m9v", "Z=9v", "Zm=v", "Zg==Zm9v", "====", "Z===",  // misplaced padding
    };
    for (const char* text : cases) {
        bool ok = true;
        decode(text, &ok);
        EXPECT_FALSE(ok) << text;
    }
    size_t length = 99;
    EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
    EXPECT_EQ(length, 0u);
}

TEST(Base64Decode, RoundTripsEveryLengthAndByteValue)
{
    std::mt19937 rng(42);
    for (size_t n = 0; n < 300; ++n) {
        std::string bytes(n, '\0');
        for (auto& b : bytes) b = static_cast<char>(rng());
        bool ok = false;
        EXPECT_EQ(decode(encode(bytes), &ok), bytes) << n;
        EXPECT_TRUE(ok);
    }
}

}  // namespace
