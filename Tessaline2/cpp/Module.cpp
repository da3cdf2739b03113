// Module: connection paths and adoption of the module's own address.
#include "Module.h"

#include "aDefs.h"
#include "aTime.h"

namespace Korvanta::Tessaline {

namespace {
constexpr int kAddressAttempts = 4;
constexpr uint64_t kAddressRetryMs = 5;
}  // namespace

Module::Module(uint8_t address, uint8_t model)
    : m_link(std::make_unique<Link>("Link")), m_address(address), m_networkingMode(true), m_model(model)
{
}

Module::Module(uint8_t address, bool networking, uint8_t model)
    : m_link(std::make_unique<Link>("Link")), m_address(address), m_networkingMode(networking), m_model(model)
{
}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!m_link)
        return aErrInitialization;
    const aErr result = m_link->discoverAndConnect(type, serialNumber, m_model);
    if (result != aErrNone)
        return result;
    return _autoNetwork();
}

aErr Module::connectFromSpec(linkSpec spec)
{
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrBusy;
    m_link->setLinkSpecifier(spec);
    aErr result = m_link->connect();
    if (result != aErrNone)
        return result;
    result = _autoNetwork();
    if (result != aErrNone)
        aDebug_Printf(aDEBUG_MODULE, "Post autoNetwork err: %d\n", static_cast<int>(result));
    return result;
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrNone;
    if (!router || !router->getLink())
        return aErrInitialization;
    linkSpec spec{};
    aErr result = router->getLinkSpecifier(&spec);
    if (result != aErrNone)
        return result;
    Link* routerLink = router->getLink();
    nWeaveConfig config;
    result = routerLink->getConfig(&config);
    if (result == aErrNone)
        result = m_link->setConfig(config);
    if (result != aErrNone)
        return result;
    if (config.enabled) {
        spec.type = NWEAVE;
        spec.ipAddress = config.networkInterface;
        spec.ipPort = config.port;
    }
    result = m_link->setLinkSpecifier(spec);
    if (result == aErrNone)
        result = m_link->connectThroughLinkModule(*routerLink);
    if (result == aErrNone)
        m_networkingMode = false;
    return result;
}

aErr Module::reconnect()
{
    if (!m_link)
        return aErrInitialization;
    const aErr result = m_link->connect();
    if (result != aErrNone)
        return result;
    return _autoNetwork();
}

aErr Module::disconnect()
{
    if (!m_link)
        return aErrInitialization;
    return m_link->disconnect();
}

bool Module::isConnected() const
{
    return m_link && m_link->isConnected();
}

uint32_t Module::getStatus() const
{
    return m_link ? m_link->getStatus() : 8u;
}

uint8_t Module::getModuleAddress() const
{
    return m_address;
}

void Module::setModuleAddress(uint8_t address)
{
    m_address = address;
}

void Module::setNetworkingMode(bool networking)
{
    m_networkingMode = networking;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const
{
    if (!m_link)
        return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::getConfig(nWeaveConfig* config) const
{
    if (!m_link)
        return aErrNotReady;
    if (!config)
        return aErrParam;
    return m_link->getConfig(config);
}

aErr Module::setConfig(nWeaveConfig config)
{
    if (!m_link)
        return aErrNotReady;
    return m_link->setConfig(config);
}

Link* Module::getLink() const
{
    return m_link.get();
}

aErr Module::enablePacketLog(const char* path)
{
    if (!m_link)
        return aErrConfiguration;
    return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog()
{
    if (!m_link)
        return aErrConfiguration;
    return m_link->disablePacketLog();
}

aErr Module::_autoNetwork()
{
    if (!m_networkingMode || !m_link)
        return aErrNone;
    uint8_t address = 0;
    aErr result = aErrNone;
    int attempts = 0;
    while (attempts < kAddressAttempts) {
        ++attempts;
        result = m_link->getModuleAddress(&address);
        if (result != aErrNone)
            aTime_MSSleep(kAddressRetryMs);
        if (result != aErrNotReady)
            break;
    }
    if (attempts == kAddressAttempts)
        aDebug_Printf(aDEBUG_MODULE, "BOO! Failed to autoNetwork\n");
    if (address != 0 && address != m_address)
        m_address = address;
    return result;
}

}  // namespace Korvanta::Tessaline
