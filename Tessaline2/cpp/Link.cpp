// Link: discovery, connection with fallback, address query and packet log.
#include "Link.h"

#include <cstring>
#include <mutex>

#include "LinkImpl.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aLink.h"
#include "aTime.h"

namespace Korvanta::Tessaline {

namespace {

constexpr size_t kMaximumNameLength = 1024;
constexpr int kConnectPolls = 200;
constexpr uint64_t kPollIntervalMs = 10;
constexpr uint8_t kAddressQueryTarget = 0xAD;
constexpr uint64_t kAnswerTimeoutMs = 1000;
// The engine's own records are at most 30 bytes, a caller's at most 255.
constexpr uint32_t kLogRecordMaximum = 255;
constexpr uint8_t kLogKindWritten = 1;
constexpr uint8_t kLogKindText = 3;
constexpr uint64_t kLogIdleSleepMs = 5;

// No two links (with or without servers) are created at the same time.
std::mutex linkCreateHelperSerializer;

bool isNWEAVE(linkType type)
{
    return aLinkSpec_IsNetworked(type);
}

bool _fallbackHelper(aErr result, linkType type, bool fallback)
{
    const bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
    const bool fallbackType = type == USB || type == TCPIP || isNWEAVE(type);
    return retryable && fallbackType && fallback;
}

struct ModelSearch {
    linkSpec* spec;
    uint8_t model;
};

bool cbModelCallback(const linkSpec* found, bool* accepted, void* ref)
{
    ModelSearch* search = static_cast<ModelSearch*>(ref);
    if (!found || (search->model != 0 && found->model != search->model))
        return true;
    memcpy(search->spec, found, sizeof(linkSpec));
    *accepted = true;
    return false;
}

// Accepts the answer to the address query: a packet without data.
uint8_t MatchMagic(const aPacket* packet, const void*)
{
    return packet && packet->dataSize == 0;
}

uint32_t sLinkStatus(void* ref)
{
    return aLink_GetStatus(*static_cast<uint32_t*>(ref));
}

void readDebugBuffer(aFile* file, uint32_t linkId)
{
    uint8_t kind = 0;
    uint8_t data[kLogRecordMaximum + 1];
    uint32_t size = sizeof(data);
    const aErr result = aLink_PacketDebug_Read(linkId, &kind, &size, data);
    if (result != aErrNone) {
        aTime_MSSleep(kLogIdleSleepMs);
        return;
    }
    aFile_Printf(file, "%d %s ", static_cast<int>(size), kind == kLogKindWritten ? ">" : "<");
    for (uint32_t i = 0; i < size && i < sizeof(data); ++i) {
        if (kind == kLogKindText)
            aFile_Printf(file, "%c", data[i]);
        else
            aFile_Printf(file, "0x%X ", data[i]);
    }
    aFile_Printf(file, "\r\n");
}

}  // namespace

aErr Link_waitForStatus(uint32_t (*status)(void* ref), void* ref, int polls)
{
    switch (status(ref)) {
    case kLinkStatusRunning:
        return aErrNone;
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
        for (int poll = 0; poll < polls && status(ref) != kLinkStatusRunning; ++poll)
            aTime_MSSleep(kPollIntervalMs);
        return status(ref) == kLinkStatusRunning ? aErrNone : aErrConnection;
    case kLinkStatusStopping:
        return aErrBusy;
    case kLinkStatusInvalid:
    case kLinkStatusIOError:
    case kLinkStatusPacketError:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

// ---- impl -------------------------------------------------------------------

Link::impl::impl(Link* owner, const char* name)
    : m_owner(owner), m_name(name ? std::string(name).substr(0, kMaximumNameLength) : std::string())
{
}

Link::impl::~impl()
{
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        m_streams.clear();
    }
    if (m_linkId != 0)
        aLink_Destroy(&m_linkId);
    m_spec.reset();
    aLogger_Destroy(&m_logger);
}

void Link::impl::setSpecifier(const linkSpec& spec)
{
    m_spec = std::make_unique<linkSpec>(spec);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model)
{
    linkSpec* spec = nullptr;
    if (serialNumber != 0) {
        spec = aDiscovery_FindModule(type, serialNumber, m_config.networkInterface);
    } else {
        spec = aLinkSpec_Create(type);
        if (spec) {
            spec->model = model;
            ModelSearch search{spec, model};
            if (aDiscovery_EnumerateModules(type, cbModelCallback, &search, m_config.networkInterface) == 0)
                aLinkSpec_Destroy(&spec);
        }
    }
    if (!spec)
        return aErrNotFound;
    setSpecifier(*spec);
    aLinkSpec_Destroy(&spec);
    return m_owner->connect();
}

aErr Link::impl::linkCreateHelper(const linkSpec& spec, uint32_t shared)
{
    std::lock_guard<std::mutex> serializer(linkCreateHelperSerializer);
    switch (spec.type) {
    case USB:
        m_linkId = aLink_CreateUSB(spec.serialNumber);
        break;
    case TCPIP:
        m_linkId = aLink_CreateTCPIP(spec.serialNumber, spec.ipAddress, static_cast<uint16_t>(spec.ipPort));
        break;
    case SERIAL: {
        char portName[aLINKSPEC_PORTNAME_SIZE];
        memcpy(portName, spec.portName, sizeof(portName));
        portName[sizeof(portName) - 1] = '\0';  // never trust a stored path to be terminated
        m_linkId = aLink_CreateSerial(spec.serialNumber, portName, spec.baudRate);
        break;
    }
    case NWEAVE:
    case NWEAVE_USB:
    case NWEAVE_TCPIP:
    case NWEAVE_SERIAL:
        if (!m_config.enabled)
            return aErrConfiguration;
        m_linkId = aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.ipPort), shared);
        return aErrNone;
    default:
        return aErrMode;
    }

    if (m_config.enabled && m_linkId != 0) {
        uint32_t directId = m_linkId;
        m_linkId = aLink_CreateServer(directId, &m_config.port, &m_config.networkInterface, m_config.localOnly);
        aDebug_Printf(aDEBUG_LINK, "direct link %u, server client link %u\n", directId, m_linkId);
        if (m_linkId == 0) {
            aLink_Destroy(&directId);
            aDebug_Printf(aDEBUG_LINK, "Failed to create server\n");
        }
    }
    return aErrNone;
}

aErr Link::impl::connectHelper(uint32_t shared)
{
    if (!m_spec)
        return aErrConfiguration;
    const aErr result = linkCreateHelper(*m_spec, shared);
    if (result != aErrNone)
        return result;
    if (m_linkId == 0)
        return aErrConnection;
    const aErr waited = waitForLink(kConnectPolls);
    // A link that never came up is released, so that a retry can open it anew.
    if (waited != aErrNone)
        aLink_Destroy(&m_linkId);
    return waited;
}

aErr Link::impl::waitForLink(int polls)
{
    return Link_waitForStatus(sLinkStatus, &m_linkId, polls);
}

// ---- Link -------------------------------------------------------------------

Link::Link(const char* name) : m_impl(std::make_unique<impl>(this, name)) {}

Link::Link(linkSpec spec, const char* name) : m_impl(std::make_unique<impl>(this, name))
{
    m_impl->setSpecifier(spec);
}

Link::~Link() = default;

const char* Link::getName() const
{
    return m_impl->m_name.c_str();
}

aErr Link::setConfig(nWeaveConfig config)
{
    if (isConnected())
        return aErrMode;
    m_impl->m_config = config;
    return aErrNone;
}

aErr Link::getConfig(nWeaveConfig* config) const
{
    if (!config)
        return aErrParam;
    *config = m_impl->m_config;
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec)
{
    if (isConnected())
        return aErrBusy;
    m_impl->setSpecifier(spec);
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!m_impl->m_spec)
        return aErrNotFound;
    if (!spec)
        return aErrParam;
    *spec = *m_impl->m_spec;
    return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    const aErr result = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
    if (!_fallbackHelper(result, type, m_impl->m_config.fallback))
        return result;
    const linkType newType = (type == USB || type == TCPIP) ? NWEAVE : USB;
    aDebug_Printf(aDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n", static_cast<int>(type),
                  static_cast<int>(newType));
    return m_impl->discoveryAndConnectHelper(newType, serialNumber, model);
}

aErr Link::connect()
{
    if (m_impl->m_linkId != 0)
        return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other)
{
    if (other.m_impl->m_linkId == 0)
        return aErrInitialization;
    if (m_impl->m_linkId != 0)
        return aErrConnection;  // holding a use already: taking another would leak it
    // The creation step finds the other object's link and adds one use to it.
    return m_impl->connectHelper(other.m_impl->m_linkId);
}

bool Link::isConnected() const
{
    return m_impl->m_linkId != 0 && aLink_GetStatus(m_impl->m_linkId) == kLinkStatusRunning;
}

uint32_t Link::getStatus() const
{
    if (m_impl->m_linkId == 0)
        return kLinkStatusPacketError;
    return aLink_GetStatus(m_impl->m_linkId);
}

aErr Link::disconnect()
{
    if (m_impl->m_linkId != 0)
        aLink_Destroy(&m_impl->m_linkId);
    m_impl->m_linkId = 0;
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl->m_linkId != 0)
        aLink_Reset(m_impl->m_linkId);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address)
{
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    aDebug_Printf(aDEBUG_LINK, "getModuleAddress\n");
    aPacket* query = aPacket_CreateWithData(kAddressQueryTarget, 0, reinterpret_cast<const uint8_t*>(""));
    if (!query)
        return aErrResource;
    const aErr put = aLink_PutPacket(m_impl->m_linkId, query);
    aPacket_Destroy(&query);
    if (put != aErrNone)
        return aErrNotReady;
    aDebug_Printf(aDEBUG_LINK, "getModuleAddress wait\n");
    aPacket* answer = aLink_AwaitFirst(m_impl->m_linkId, MatchMagic, nullptr, kAnswerTimeoutMs);
    if (!answer)
        return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::enablePacketLog(const char* path)
{
    if (m_impl->m_linkId == 0)
        return aErrConfiguration;
    aErr result = aLink_PacketDebug_Enable(m_impl->m_linkId);
    if (result != aErrNone)
        return result;
    if (!m_impl->m_logger)
        m_impl->m_logger = aLogger_Create(m_impl->m_linkId, readDebugBuffer, path);
    if (!m_impl->m_logger)
        return aErrIO;  // the log file cannot be opened: nothing will be logged
    if (!m_impl->m_logger->running)
        m_impl->m_logger->linkId = m_impl->m_linkId;  // the link may have been reopened
    result = aLogger_Enable(m_impl->m_logger);
    if (result == aErrNone) {
        static const uint8_t start[] = "START";
        aLink_PacketDebug_Write(m_impl->m_linkId, kLogKindText, sizeof(start), start);
    }
    return result;
}

aErr Link::disablePacketLog()
{
    if (m_impl->m_linkId == 0)
        return aErrConfiguration;
    aLink_PacketDebug_Disable(m_impl->m_linkId);
    return aLogger_Disable(m_impl->m_logger);
}

aErr Link::enablePooledPackets(bool pooled)
{
    if (m_impl->m_linkId == 0)
        return aErrConnection;
    return aLink_EnablePooledPackets(m_impl->m_linkId, pooled);
}

}  // namespace Korvanta::Tessaline
