// Network-sharing configuration of a link.
#pragma once

#include <cstdint>

namespace Korvanta::Tessaline {

struct nWeaveConfig {
    // Publish direct links through a local server and talk to them as its client;
    // the networked link types can be opened only while this is on.
    bool enabled = true;
    // Let discoverAndConnect retry once over the other transport.
    bool fallback = true;
    // Bind a created server to loopback only.
    bool localOnly = true;
    // Port of the link's server; written back when one is created.
    uint16_t port = 0;
    // IPv4 address in network byte order; 127.0.0.1 means no particular interface.
    uint32_t networkInterface = kAnyInterface();

    nWeaveConfig() = default;

    // 127.0.0.1 as kept in a socket address (network byte order).
    static constexpr uint32_t kAnyInterface()
    {
        return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0x0100007Fu : 0x7F000001u;
    }
};

}  // namespace Korvanta::Tessaline
