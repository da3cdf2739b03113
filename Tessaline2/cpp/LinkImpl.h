// Private state of a Link (not part of the public headers).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Link.h"
#include "aLogger.h"

namespace Korvanta::Tessaline {

// Last streamed value of one key (module, command, option, index, subindex).
struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;  // arrived and not yet read by a get
    uint32_t value = 0;
};

class Link::impl {
public:
    impl(Link* owner, const char* name);
    ~impl();

    aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
    // `shared`: a link id whose use the created link may share (0 for none).
    aErr connectHelper(uint32_t shared = 0);
    aErr linkCreateHelper(const linkSpec& spec, uint32_t shared);
    aErr waitForLink(int polls);
    void setSpecifier(const linkSpec& spec);

    Link* m_owner;
    uint32_t m_linkId = 0;
    aLogger* m_logger = nullptr;
    nWeaveConfig m_config;
    std::map<uint64_t, StreamEntry> m_streams;
    std::mutex m_streamMutex;
    std::string m_name;
    std::unique_ptr<linkSpec> m_spec;
};

enum class UEIMatch { No, Error, Value };
// Tests a received packet against the expected uei (module, command, all 8
// option bits, low 5 index bits). An error answer's index byte and code are
// taken into the record.
UEIMatch ueiMatch(const aPacket* packet, const void* ref);

// Key of one streamed value: subindex in bits 39..32, then module, command,
// option and index.
uint64_t Link_createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex);

}  // namespace Korvanta::Tessaline
