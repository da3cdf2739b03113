// Link: UEI messages (single values and UEIBytes) and raw command packets.
#include <algorithm>
#include <cstring>

#include "Link.h"
#include "LinkImpl.h"
#include "aDefs.h"
#include "aLink.h"

namespace Korvanta::Tessaline {

namespace {

constexpr uint64_t kAnswerTimeoutMs = 1000;
constexpr uint64_t kLargePayloadTimeoutMs = 4000;
constexpr size_t kLargePayload = 1000;
constexpr uint8_t kMaximumCommandData = aPACKET_MAXDATA - 1;

bool sValidModule(uint8_t module)
{
    return module != 0 && (module & 1) == 0;
}

struct CommandPattern {
    uint8_t length;
    const uint8_t* bytes;
};

uint8_t sCommandFilter(const aPacket* packet, const void* ref)
{
    const CommandPattern* pattern = static_cast<const CommandPattern*>(ref);
    return packet->dataSize >= pattern->length && memcmp(packet->data, pattern->bytes, pattern->length) == 0;
}

// Appends the value of a single-value UEI; false for a type that has none.
bool sEncodeValue(const uei& message, uint8_t* data, uint8_t* length)
{
    switch (message.type) {
    case UEI_TYPE_VOID:
        return true;
    case UEI_TYPE_BYTE:
        data[(*length)++] = message.value.byteValue;
        return true;
    case UEI_TYPE_SHORT:
        aUEI_StoreShort(&data[*length], message.value.shortValue);
        *length += 2;
        return true;
    case UEI_TYPE_INT:
        aUEI_StoreInt(&data[*length], message.value.intValue);
        *length += 4;
        return true;
    default:
        return false;
    }
}

aErr sPut(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrResource;
    const aErr result = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return result;
}

aErr sSendBytes(uint32_t linkId, const uei& message)
{
    if (!message.value.bytesData && message.bytesSize != 0)
        return aErrParam;
    size_t offset = 0;
    uint8_t sequence = 0;
    bool more = false;
    do {
        const size_t chunk = std::min(ueiBYTES_CHUNK, message.bytesSize - offset);
        more = offset + chunk < message.bytesSize;
        uint8_t data[aPACKET_MAXDATA];
        data[0] = message.command;
        data[1] = message.option;
        data[2] = message.specifier;
        if (chunk)
            memcpy(&data[3], message.value.bytesData + offset, chunk);
        data[3 + chunk] = (more ? ueiBYTES_CONTINUE : 0) | (sequence & ueiBYTES_SEQUENCE_MASK);
        const aErr result = sPut(linkId, message.module, static_cast<uint8_t>(chunk + 4), data);
        if (result != aErrNone)
            return result;
        ++sequence;
        offset += chunk;
    } while (more);
    return aErrNone;
}

}  // namespace

UEIMatch ueiMatch(const aPacket* packet, const void* ref)
{
    uei* message = static_cast<uei*>(const_cast<void*>(ref));
    if (!packet || !message || packet->address != message->module || packet->dataSize <= 2 ||
        packet->data[0] != message->command || packet->data[1] != message->option ||
        (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != message->specifier)
        return UEIMatch::No;
    if (!(packet->data[2] & ueiSPECIFIER_ERROR))
        return UEIMatch::Value;
    // An error answer carries the module's code in its fourth byte.
    message->specifier = packet->data[2];
    message->value.byteValue = packet->dataSize > 3 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
    return UEIMatch::Error;
}

uint8_t Link::sUEIFilter(const aPacket* packet, const void* ref)
{
    const UEIMatch match = ueiMatch(packet, ref);
    if (match != UEIMatch::Value)
        return match == UEIMatch::Error;
    uei* message = static_cast<uei*>(const_cast<void*>(ref));
    switch (packet->dataSize) {
    case 3:
        message->type = UEI_TYPE_VOID;
        break;
    case 4:
        message->type = UEI_TYPE_BYTE;
        message->value.byteValue = packet->data[3];
        break;
    case 5:
        message->type = UEI_TYPE_SHORT;
        message->value.shortValue = aUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        message->type = UEI_TYPE_INT;
        message->value.intValue = aUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break;  // accepted, value left alone
    }
    return 1;
}

aErr Link::sendUEI(uei message)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(message.module))
        return aErrPacket;
    if (message.type == UEI_TYPE_BYTES)
        return sSendBytes(m_impl->m_linkId, message);
    uint8_t data[aPACKET_MAXDATA] = {message.command, message.option, message.specifier};
    uint8_t length = 3;
    if (!sEncodeValue(message, data, &length))
        return aErrParam;
    return sPut(m_impl->m_linkId, message.module, length, data);
}

aErr Link::sendUEI(uei message, uint8_t subindex)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(message.module))
        return aErrPacket;
    uint8_t data[aPACKET_MAXDATA] = {message.command, message.option, message.specifier, subindex};
    uint8_t length = 4;
    if (!sEncodeValue(message, data, &length))
        return aErrParam;  // UEIBytes cannot carry a subindex
    return sPut(m_impl->m_linkId, message.module, length, data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message)
{
    return receiveUEI(module, command, option, index, message, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
                      aPacketFilterProc filter)
{
    if (!message || !filter)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    message->module = module;
    message->command = command;
    message->option = option;
    message->specifier = index;
    uint64_t timeout = kAnswerTimeoutMs;
    if (message->type == UEI_TYPE_BYTES && message->bytesSize > kLargePayload) {
        timeout = kLargePayloadTimeoutMs;
        aDebug_Printf(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                      static_cast<unsigned long>(timeout));
    }
    aPacket* packet = aLink_AwaitFirst(m_impl->m_linkId, filter, message, timeout);
    if (!packet)
        return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    uei pattern{};
    pattern.module = module;
    pattern.command = command;
    pattern.option = option;
    pattern.specifier = index;
    // The filter writes into the record it matched; each packet gets a fresh one.
    struct Ref {
        uei pattern;
    } ref{pattern};
    aLink_DrainPackets(
        m_impl->m_linkId,
        [](const aPacket* packet, const void* r) -> uint8_t {
            uei scratch = static_cast<const Ref*>(r)->pattern;
            return sUEIFilter(packet, &scratch);
        },
        &ref);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected())
        return aErrConnection;
    if (length > kMaximumCommandData || (length > 0 && !data))
        return aErrParam;
    if (!sValidModule(address))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAXDATA];
    bytes[0] = command;
    if (length)
        memcpy(&bytes[1], data, length);
    return sPut(m_impl->m_linkId, address, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* pattern, uint8_t* length, uint8_t* buffer)
{
    if (!pattern || !length || !buffer || *length > aPACKET_MAXDATA)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(address))
        return aErrPacket;
    CommandPattern filter{*length, pattern};
    aPacket* packet = aLink_AwaitFirst(m_impl->m_linkId, sCommandFilter, &filter, kAnswerTimeoutMs);
    if (!packet)
        return aErrTimeout;
    *length = packet->dataSize;
    memcpy(buffer, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

uint64_t Link_createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex)
{
    return static_cast<uint64_t>(subindex) << 32 | static_cast<uint64_t>(module) << 24 |
           static_cast<uint64_t>(command) << 16 | static_cast<uint64_t>(option) << 8 | index;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value)
{
    std::lock_guard<std::mutex> lock(m_impl->m_streamMutex);
    const auto entry = m_impl->m_streams.find(Link_createStreamKey(module, command, option, index, subindex));
    if (entry == m_impl->m_streams.end())
        return aErrNotFound;
    if (value)
        *value = entry->second.value;
    if (!entry->second.fresh)
        return aErrStreamStale;
    entry->second.fresh = false;
    return aErrNone;
}

}  // namespace Korvanta::Tessaline
