#include "base64.h"

#include <array>
#include <cstdint>
#include <string>

namespace {

constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> makeTable()
{
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

// Decodes into `out`, which may be `text` itself: each group of four
// characters is read before its three bytes are written, and the writes
// never overtake the reads. With a null `out` it only checks the text.
// Returns false for malformed text.
bool decodeInto(const char* text, size_t length, unsigned char* out, size_t* decodedLength)
{
    if (text == nullptr || length % 4 != 0)
        return false;

    size_t padding = 0;
    if (length >= 4) {
        if (text[length - 1] == '=') ++padding;
        if (text[length - 2] == '=') ++padding;
        // A lone "=" before a data character ("xx=x") is malformed.
        if (padding == 1 && text[length - 2] == '=') return false;
    }

    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        uint32_t v[4];
        for (size_t k = 0; k < 4; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if (c == '=' && last && k >= 4 - padding) {
                v[k] = 0;
                continue;
            }
            v[k] = kTable[c];
            if (v[k] == kInvalid) return false;
        }
        const uint32_t word = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
        if (out == nullptr) {
            o += 3 - (last ? padding : 0);
            continue;
        }
        out[o++] = static_cast<unsigned char>(word >> 16);
        if (!last || padding < 2) out[o++] = static_cast<unsigned char>(word >> 8);
        if (!last || padding < 1) out[o++] = static_cast<unsigned char>(word);
    }
    *decodedLength = o;
    return true;
}

}  // namespace

std::unique_ptr<unsigned char[]> base64_decode(const char* text, size_t length, size_t* outLength)
{
    if (outLength) *outLength = 0;
    if (text == nullptr || length % 4 != 0)
        return nullptr;
    auto out = std::make_unique_for_overwrite<unsigned char[]>(length / 4 * 3 + 1);
    size_t decoded = 0;
    if (!decodeInto(text, length, out.get(), &decoded))
        return nullptr;
    out[decoded] = 0;
    if (outLength) *outLength = decoded;
    return out;
}

bool base64_decode_in_place(std::string& text)
{
    size_t decoded = 0;
    // Check everything first so a malformed text is left as it was.
    if (!decodeInto(text.data(), text.size(), nullptr, &decoded))
        return false;
    decodeInto(text.data(), text.size(), reinterpret_cast<unsigned char*>(text.data()), &decoded);
    text.resize(decoded);
    return true;
}
