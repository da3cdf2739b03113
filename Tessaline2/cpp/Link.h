// One packet link to a module: discovery, connection, messages and packet log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aError.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "nWeaveConfig.h"
#include "uei.h"

namespace Korvanta::Tessaline {

class Link {
public:
    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    const char* getName() const;

    aErr setConfig(nWeaveConfig config);
    aErr getConfig(nWeaveConfig* config) const;
    aErr setLinkSpecifier(linkSpec spec);
    aErr getLinkSpecifier(linkSpec* spec) const;

    // Finds the module (by serial number, or the first of `model` when the
    // serial number is 0; model 0 takes any) and connects, falling back once to
    // the other transport when the configuration allows it.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Opens the stored specifier.
    aErr connect();
    // Shares the other object's open link (a router and the modules behind it).
    aErr connectThroughLinkModule(Link& other);
    bool isConnected() const;
    // Link engine status, kLinkStatusPacketError (8) without a link.
    uint32_t getStatus() const;
    aErr disconnect();
    aErr reset();

    // Asks the connected module for its address on the module network.
    aErr getModuleAddress(uint8_t* address);

    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();
    aErr enablePooledPackets(bool pooled);

    // UEI messages. The module address must be even and non-zero.
    aErr sendUEI(uei message);
    aErr sendUEI(uei message, uint8_t subindex);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
                    aPacketFilterProc filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // Raw command packets: `command` followed by up to 27 bytes.
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1000 ms for a packet whose first *length data bytes equal
    // `pattern`; stores its length and data (room for 28 bytes).
    aErr receivePacket(uint8_t address, const uint8_t* pattern, uint8_t* length, uint8_t* buffer);

    // Stored stream value of exactly that key: aErrNotFound when none, aErrNone
    // when fresh (then marked read), aErrStreamStale when read before.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);

    // Answer filter of UEI exchanges (reference: the expected uei, filled on acceptance).
    static uint8_t sUEIFilter(const aPacket* packet, const void* ref);

    class impl;

private:
    std::unique_ptr<impl> m_impl;
};

// Waits for a new link to come up, by the status that `status` reports: polls
// every 10 ms at most `polls` times while the link is stopped, starting or
// syncing. Exposed so that the outcome of every status can be checked.
aErr Link_waitForStatus(uint32_t (*status)(void* ref), void* ref, int polls);

}  // namespace Korvanta::Tessaline
