// Discovery of modules (USB, TCP/IP, behind a router) and the device
// information read from each one.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "I2CClass.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aPacket.h"
#include "aVersion.h"

namespace {

using Korvanta::Tessaline::I2CClass;
using Korvanta::Tessaline::Link;
using Korvanta::Tessaline::Module;
using Korvanta::Tessaline::nWeaveConfig;
using Korvanta::Tessaline::SystemClass;
using Display = UpdaterDisplayInterface;

constexpr uint8_t kDirectModuleAddress = 2;
constexpr uint8_t kInfoCommand = 0x49;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;
constexpr size_t kNameCapacity = 32;
constexpr uint8_t kFirstBusAddress = 2;
constexpr uint8_t kLastBusAddress = 252;
constexpr uint8_t kBusSpeed = 3;

struct LinkSearch {
    uint32_t serialNumber;
    linkType found;
};

struct SpecDeleter {
    void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using SpecHandle = std::unique_ptr<linkSpec, SpecDeleter>;

// Disconnects on every way out of a scope.
class ConnectedScope {
public:
    explicit ConnectedScope(Module& module) : m_module(module) {}
    ~ConnectedScope() { m_module.disconnect(); }
    ConnectedScope(const ConnectedScope&) = delete;
    ConnectedScope& operator=(const ConnectedScope&) = delete;

private:
    Module& m_module;
};

// A name comes from the module: stop at a terminating zero and keep control
// bytes (terminal escapes) off the console.
std::string sPrintableName(const uint8_t* bytes, size_t length)
{
    std::string name;
    for (size_t i = 0; i < length && bytes[i] != 0; ++i) {
        const uint8_t c = bytes[i];
        name.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    return name;
}

// A module found through the driver's device node carries no model number in
// its specifier; the module itself knows it. Best effort: "Unknown" stays.
void sFillModel(Module& module, DeviceInfo& record)
{
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    if (system.getModel(&model) != aErrNone)
        return;
    record.spec.model = model;
    record.modelName = aDefs_GetModelName(model);
}

// Queries one directly connected module and fills its record.
void sQueryDirect(Display& display, DeviceInfo& record)
{
    record.modelName = aDefs_GetModelName(static_cast<int>(record.spec.model));
    Module module(kDirectModuleAddress, static_cast<uint8_t>(0));
    const aErr ether = Updater::_disableEther(module, display);
    if (ether != aErrNone) {
        // Not listed as a healthy module with empty values.
        record.error = ether;
        return;
    }
    ConnectedScope scope(module);
    record.error = module.connectFromSpec(record.spec);
    if (record.error != aErrNone)
        return;
    record.build = Updater::_get_build_number(module);
    record.error = Updater::_get_version(module, record);
    if (record.error == aErrNone)
        record.error = Updater::_get_device_name(module, record);
    if (record.error == aErrNone && record.spec.model == 0)
        sFillModel(module, record);
}

// Reads one module behind the router at `address`; false when nothing
// listable answers there.
bool sQueryBehindRouter(Display& display, Module& router, const linkSpec& routerSpec, uint32_t routerSerialNumber,
                        linkType type, uint8_t address, DeviceInfo& record)
{
    Module candidate(address, false, 0);
    Updater::_disableEther(candidate, display);
    if (candidate.connectThroughLinkModule(&router) != aErrNone)
        return false;
    ConnectedScope scope(candidate);
    SystemClass system;
    system.init(&candidate, 0);
    uint32_t serialNumber = 0;
    if (system.getSerialNumber(&serialNumber) != aErrNone)
        return false;
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serialNumber);

    record.spec.type = type;
    record.spec.serialNumber = serialNumber;
    record.spec.module = address;
    record.spec.router = router.getModuleAddress();
    record.spec.routerSerialNumber = routerSerialNumber;
    memcpy(reinterpret_cast<uint8_t*>(&record.spec) + aLINKSPEC_DETAILS_OFFSET,
           reinterpret_cast<const uint8_t*>(&routerSpec) + aLINKSPEC_DETAILS_OFFSET, aLINKSPEC_DETAILS_SIZE);
    record.networkAddress = address;

    record.build = Updater::_get_build_number(candidate);
    record.error = Updater::_get_version(candidate, record);
    uint8_t model = 0;
    const aErr modelResult = system.getModel(&model);
    if (modelResult == aErrNone) {
        record.spec.model = model;
        record.modelName = aDefs_GetModelName(model);
    } else {
        record.error = modelResult;
    }
    return true;
}

} // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> devices;
    const std::vector<linkType> types = type != INVALID ? std::vector<linkType>{type}
                                                        : std::vector<linkType>{USB, TCPIP};
    for (const linkType searched : types)
        aDiscovery_EnumerateModules(searched, _discovered_device, &devices, aDiscovery_AnyInterface());
    for (DeviceInfo& record : devices)
        sQueryDirect(display, record);
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t routerSerialNumber, linkType type)
{
    std::vector<DeviceInfo> devices;
    if (type == INVALID)
        type = _discover_link_type(routerSerialNumber);
    if (type == INVALID)
        return devices;
    const SpecHandle routerSpec(aDiscovery_FindModule(type, routerSerialNumber, aDiscovery_AnyInterface()));
    if (!routerSpec)
        return devices;

    Log::log(DEBUG_Updater, "Found Link Module\n");
    Module router(kDirectModuleAddress, static_cast<uint8_t>(0));
    if (_disableEther(router, display) != aErrNone)
        return devices;
    ConnectedScope scope(router);
    aErr err = router.connectFromSpec(*routerSpec);
    if (err != aErrNone) {
        display.message(Display::MSG_ERROR, "Error %d on connectFromSpec", static_cast<int>(err));
        return devices;
    }

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(Display::MSG_ERROR, "Error %d on route to me", static_cast<int>(err));
        return devices;
    }
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(kBusSpeed);

    const uint8_t routerAddress = router.getModuleAddress();
    const uint8_t probe[2] = {0x00, 0x00};
    for (unsigned address = kFirstBusAddress; address <= kLastBusAddress; address += 2) {
        if (address == routerAddress)
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
            continue;
        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        DeviceInfo record;
        if (sQueryBehindRouter(display, router, *routerSpec, routerSerialNumber, type,
                               static_cast<uint8_t>(address), record))
            devices.push_back(std::move(record));
    }

    err = routerSystem.routeToMe(0);
    if (err != aErrNone)
        Log::log(DEBUG_Updater, "Error %d on route to me (off)\n", static_cast<int>(err));
    return devices;
}

aErr Updater::_disableEther(Module& module, UpdaterDisplayInterface& display)
{
    nWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    const aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(Display::MSG_ERROR, "Failed to SET network configuration");
    return err;
}

linkType Updater::_discover_link_type(uint32_t serialNumber)
{
    LinkSearch search{serialNumber, INVALID};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, aDiscovery_AnyInterface());
    if (search.found == INVALID)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, aDiscovery_AnyInterface());
    return search.found;
}

uint32_t Updater::_get_build_number(Module& module)
{
    Link* link = module.getLink();
    if (link == nullptr)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t request[1] = {kInfoBuild};
    if (link->sendPacket(address, kInfoCommand, sizeof request, request) != aErrNone)
        return 0;
    const uint8_t pattern[2] = {kInfoCommand, kInfoBuild};
    uint8_t length = sizeof pattern;
    uint8_t reply[aPACKET_MAXDATA] = {0};
    if (link->receivePacket(address, pattern, &length, reply) != aErrNone || length != kBuildReplyLength)
        return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
           static_cast<uint32_t>(reply[4]) << 8 | static_cast<uint32_t>(reply[5]);
}

aErr Updater::_get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    uint32_t packed = 0;
    aErr err = system.getVersion(&packed);
    if (err != aErrNone)
        return err;
    info.major = aVersion_ParseMajor(packed);
    info.minor = aVersion_ParseMinor(packed);
    info.patch = aVersion_ParsePatch(packed);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone)
        return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err == aErrNone)
        info.spec.router = address;
    return err;
}

aErr Updater::_get_device_name(Module& module, DeviceInfo& info)
{
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch & 0xFF), 2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t buffer[kNameCapacity] = {0};
    size_t length = 0;
    const aErr err = system.getName(buffer, sizeof buffer, &length);
    if (err == aErrNone)
        info.deviceName = sPrintableName(buffer, length < sizeof buffer ? length : sizeof buffer);
    return err;
}

bool Updater::_discovered_device(const linkSpec* spec, bool* accepted, void* list)
{
    if (accepted != nullptr)
        *accepted = false;
    if (spec == nullptr || list == nullptr)
        return true;
    DeviceInfo record;
    record.spec = *spec;
    static_cast<std::vector<DeviceInfo>*>(list)->push_back(std::move(record));
    if (accepted != nullptr)
        *accepted = true;
    return true;
}

bool Updater::_discovered_link(const linkSpec* spec, bool* accepted, void* state)
{
    if (accepted != nullptr)
        *accepted = true;
    if (spec == nullptr || state == nullptr)
        return true;
    LinkSearch* search = static_cast<LinkSearch*>(state);
    if (spec->serialNumber != search->serialNumber)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(spec->type));
    search->found = spec->type;
    return false;
}
