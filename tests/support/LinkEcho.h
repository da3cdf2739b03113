// Test helper: the echo command (0x17) over a running link. The simulated
// module answers it with the same data bytes from its own address.
#ifndef TESSALINE_TEST_LINKECHO_H
#define TESSALINE_TEST_LINKECHO_H

#include <cstdint>
#include <vector>

#include "aLink.h"
#include "aPacket.h"

namespace link_echo {

constexpr uint8_t kEchoCommand = 0x17;

struct EchoMatch {
    uint8_t address;
    std::vector<uint8_t> data;
};

inline uint8_t sIsEcho(const aPacket* packet, const void* ref)
{
    const auto* want = static_cast<const EchoMatch*>(ref);
    return packet->address == want->address && packet->dataSize == want->data.size() &&
           std::equal(want->data.begin(), want->data.end(), packet->data);
}

// Sends `data` (its first byte is set to the echo command) to `address` and
// waits up to waitMs for the same bytes to come back.
inline bool echo(uint32_t link, uint8_t address, std::vector<uint8_t> data, uint64_t waitMs = 2000)
{
    if (data.empty() || data.size() > aPACKET_MAXDATA)
        return false;
    data[0] = kEchoCommand;
    aPacket* out = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
    const aErr put = aLink_PutPacket(link, out);
    aPacket_Destroy(&out);
    if (put != aErrNone)
        return false;
    const EchoMatch want{address, data};
    aPacket* answer = aLink_AwaitFirst(link, sIsEcho, &want, waitMs);
    const bool ok = answer != nullptr;
    aPacket_Destroy(&answer);
    return ok;
}

// Data bytes with zeros and delimiter-like values spread through them.
inline std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 29);
    return data;
}

} // namespace link_echo

#endif
