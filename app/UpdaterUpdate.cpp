// Installing a build into a running module: choice of the file, connection
// (directly or through a router), checks, loader and firmware transfer.
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aTime.h"
#include "tsusb.h"

namespace {

using Korvanta::Tessaline::Module;
using Korvanta::Tessaline::SystemClass;
using Display = UpdaterDisplayInterface;

constexpr int kFirmwareTries = 5;
constexpr int kReenumerationAttempts = 15;
constexpr int kContextRefreshPeriod = 3;
constexpr uint64_t kReenumerationPauseMs = 1000;
// After the LOAD reply a USB module may still be on its way off the bus.
constexpr uint64_t kLoaderSettleMs = 500;
constexpr uint64_t kSettlePollMs = 10;

// Leading decimal digits of an attribute ("99528558.bird" -> 99528558); 0
// when there are none or they do not fit in 32 bits.
uint32_t sLeadingBuild(const std::string& text)
{
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 10)
        return 0;
    const unsigned long long value = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

// The whole text as a build number; false when it is not one.
bool sParseBuild(const std::string& text, uint32_t& build)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > UINT32_MAX)
        return false;
    build = static_cast<uint32_t>(value);
    return true;
}

aErr sConnectBySerial(Module& module, uint32_t serialNumber)
{
    aErr err = module.connect(USB, serialNumber);
    if (err == aErrNotFound)
        err = module.connect(TCPIP, serialNumber);
    return err;
}

linkType sLinkType(const Module& module)
{
    linkSpec spec{};
    if (module.getLinkSpecifier(&spec) != aErrNone)
        return INVALID;
    return spec.type;
}

// Waits (bounded) for the link to show a drop that follows the LOAD reply.
void sSettleAfterLoad(const Module& target)
{
    for (uint64_t waited = 0; waited < kLoaderSettleMs && target.isConnected(); waited += kSettlePollMs)
        aTime_MSSleep(kSettlePollMs);
}

// Finds the module again after it left the bus to start its loader. The
// module is searched on the transport it was on (USB, or TCP/IP for a module
// that restarted its network link).
void sAwaitReturn(Module& target, uint32_t serialNumber, linkType type)
{
    if (type != TCPIP)
        type = USB;
    target.disconnect();
    for (int attempt = 1; attempt <= kReenumerationAttempts; ++attempt) {
        if (attempt % kContextRefreshPeriod == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessaline_libusb_exit();
        }
        target.discoverAndConnect(type, serialNumber);
        if (target.isConnected())
            return;
        if (attempt < kReenumerationAttempts)
            aTime_MSSleep(kReenumerationPauseMs);
    }
    Log::log(DEBUG_APP, "Module %08X did not come back after %d attempts.\n", serialNumber, kReenumerationAttempts);
}

aErr sTransferFirmware(Display& display, Module& module, BirdFile& file, bool throughRouter, bool useUEIBytes,
                       uint32_t* piecesWritten)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, throughRouter);
    aErr err = aErrNone;
    if (useUEIBytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const unsigned count = static_cast<unsigned>(blocks.size());
    uint16_t blockSize = 0;
    int sent = 0;
    uint64_t total = 0;
    for (unsigned number = 1; number <= count && err == aErrNone; ++number) {
        const BirdBlock& block = blocks[number - 1];
        for (int attempt = 0; attempt < kFirmwareTries; ++attempt) {
            display.message(Display::MSG_INFO, "Transferring firmware block %u of %u, %d bytes", number, count,
                            static_cast<int>(block.length));
            if (attempt > 0)
                display.message(Display::MSG_INFO, "  Retry %d", attempt);
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++sent;
    }
    display.message(Display::MSG_INFO, "Transferred %d blocks, %d total bytes", sent, static_cast<int>(total));
    if (piecesWritten != nullptr)
        *piecesWritten = entity.piecesWritten();
    if (err == aErrNone)
        err = entity.LoaderReboot(display);
    return err;
}

// Keeps the router's link routed to this host for the life of the update and
// hands routing back when it ends.
class RouterHold {
public:
    explicit RouterHold(std::unique_ptr<Module> router) : m_router(std::move(router)) {}
    ~RouterHold()
    {
        if (!m_router)
            return;
        if (m_routed) {
            SystemClass system;
            system.init(m_router.get(), 0);
            const aErr err = system.routeToMe(0);
            if (err != aErrNone)
                Log::log(DEBUG_Updater, "Router kept routing to this host (%d).\n", err);
        }
        m_router->disconnect();
    }
    RouterHold(const RouterHold&) = delete;
    RouterHold& operator=(const RouterHold&) = delete;

    Module* get() const { return m_router.get(); }
    aErr routeHere()
    {
        SystemClass system;
        system.init(m_router.get(), 0);
        const aErr err = system.routeToMe(1);
        m_routed = err == aErrNone;
        return err;
    }

private:
    std::unique_ptr<Module> m_router;
    bool m_routed = false;
};

// Disconnects the target on every way out.
struct Disconnector {
    Module& module;
    ~Disconnector() { module.disconnect(); }
};

}  // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool overrideChecks)
{
    if (serialNumber == 0) {
        display.message(Display::MSG_ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDirectory, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    store->FindDevice(serialNumber, &item);
    const uint64_t start = aTime_GetMonotonicMSTicks();

    if (birdFile.empty() && build == 0) {
        std::string latest;
        std::string firmwareId;
        UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareId, serverUrl.c_str());
        if (!latest.empty() && !sParseBuild(latest, build))
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        if (build != 0) {
            bool present = false;
            if (item.IsValid()) {
                try {
                    item.ReadBirdFile((std::to_string(build) + ".bird").c_str());
                    present = true;
                } catch (const std::runtime_error&) {
                }
            }
            if (!present) {
                build = 0;
                display.message(Display::MSG_INFO,
                                "New firmware is available.  Updater will proceed if valid firmware is found locally.");
            }
        }
        if (build == 0) {
            build = sLeadingBuild(item.attributes.GetString("LATEST_DOWNLOAD", ""));
            if (build != 0)
                display.message(Display::MSG_INFO, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = sLeadingBuild(item.attributes.GetString("LATEST_TRANSFER", ""));
            if (build != 0)
                display.message(Display::MSG_INFO, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display.message(Display::MSG_ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", birdFile, serialNumber, build, false);
    } catch (const std::runtime_error&) {
        display.message(Display::MSG_ERROR, "Failed to load bird file");
        return false;
    }
    if (file.blocks.empty()) {
        display.message(Display::MSG_ERROR, "Failed to load bird file");
        return false;
    }
    if (file.hasSerialNumberBlock) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serialNumber)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, 0);
    Disconnector targetGuard{target};
    std::unique_ptr<RouterHold> router;
    aErr err = _disableEther(target, display);
    if (err == aErrNone && routerSerialNumber != 0) {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> devices = Discover_TSNetwork_Devices(routerSerialNumber, INVALID);
            if (devices.empty()) {
                display.message(Display::MSG_ERROR, "Unable to find modules on Network");
                return false;
            }
            uint16_t found = 0;
            for (const DeviceInfo& device : devices)
                if (device.spec.serialNumber == serialNumber)
                    found = device.networkAddress;
            if (found == 0) {
                display.message(Display::MSG_ERROR,
                                "Module address required for indirect firmware update, could not find serial "
                                "number [0x%08X] on network",
                                serialNumber);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(found));
        }
        router = std::make_unique<RouterHold>(std::make_unique<Module>(0, 0));
        err = _disableEther(*router->get(), display);
        if (err == aErrNone) {
            err = sConnectBySerial(*router->get(), routerSerialNumber);
            if (err != aErrNone) {
                display.message(Display::MSG_ERROR, "Failed to connect to link module [%08X]", routerSerialNumber);
                return false;
            }
            // The search above hands routing back when it ends; the target's
            // traffic passes only while the router routes to this host.
            err = router->routeHere();
            if (err != aErrNone) {
                display.message(Display::MSG_ERROR, "Error %d on route to me", err);
                return false;
            }
            err = target.connectThroughLinkModule(router->get());
            if (err != aErrNone)
                display.message(Display::MSG_ERROR, "Failed to connect to module [%08X]", serialNumber);
        }
    } else if (err == aErrNone) {
        err = sConnectBySerial(target, serialNumber);
        if (err != aErrNone)
            display.message(Display::MSG_ERROR, "Failed to connect to module [%08X]", serialNumber);
    }

    if (err == aErrNone && !overrideChecks && !_validate_birdfile(display, file, target, serialNumber)) {
        display.message(Display::MSG_ERROR, "Birdfile failed validation");
        return false;
    }
    const linkType type = sLinkType(target);
    // Only a directly attached USB module leaves the bus to start its loader.
    const bool mayReenumerate = routerSerialNumber == 0 && type == USB;
    if (err == aErrNone)
        err = _transfer_loader(display, target, file);
    if (err == aErrNone && routerSerialNumber == 0) {
        if (mayReenumerate)
            sSettleAfterLoad(target);
        if (!target.isConnected())
            sAwaitReturn(target, serialNumber, type);
    }
    if (err == aErrNone) {
        uint32_t pieces = 0;
        err = sTransferFirmware(display, target, file, routerSerialNumber != 0, useUEIBytes, &pieces);
        // A module that leaves the bus later than the settle time takes the
        // link down before its loader has written anything: that is the same
        // re-enumeration, and starting the firmware over is safe.
        if (err != aErrNone && pieces == 0 && mayReenumerate && !target.isConnected()) {
            Log::log(DEBUG_APP, "Link dropped before the first firmware write; waiting for the module.\n");
            sAwaitReturn(target, serialNumber, type);
            if (target.isConnected())
                err = sTransferFirmware(display, target, file, false, useUEIBytes, nullptr);
        }
    }

    if (err == aErrNone) {
        const std::string name = birdFile.empty() ? std::to_string(build) + ".bird" : birdFile;
        UpdaterStoreItem record = item;
        if (!record.IsValid()) {
            try {
                record = store->AddDevice(serialNumber);
            } catch (const std::runtime_error& e) {
                Log::log(DEBUG_Always, "Could not record the transfer: %s\n", e.what());
            }
        }
        if (record.IsValid()) {
            record.attributes.Add("LATEST_TRANSFER", name);
            record.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp());
            record.attributes.Save(nullptr);
        }
        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        display.message(Display::MSG_INFO, "Update time: %.4f sec",
                        static_cast<double>(aTime_GetMonotonicMSTicks() - start) / 1000.0);
    } else {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", err);
    }
    return err == aErrNone;
}

BirdFile Updater::load_bird(const char* action, std::string birdFile, uint32_t serialNumber, uint32_t build,
                            bool downloadIfMissing)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDirectory, "load_bird");
    if (!store)
        return BirdFile();
    if (!birdFile.empty()) {
        display.message(Display::MSG_INFO, "%s from Birdfile: %s", action, birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStoreItem item = store->AddDevice(serialNumber);
    display.message(Display::MSG_INFO, "%s firmware with build: %u", action, build);
    const std::string name = std::to_string(build) + ".bird";
    try {
        return item.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(Display::MSG_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return item.ReadBirdFile(name.c_str());
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                                 uint32_t serialNumber)
{
    if (file.blocks.empty())
        return false;
    if (!file.hasSerialNumberBlock && !file.ValidateSerialNumber(serialNumber))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    const aErr serialErr = system.getSerialNumber(&moduleSerial);
    if (moduleSerial != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", serialErr);
        return false;
    }
    uint8_t model = 0;
    const aErr modelErr = system.getModel(&model);
    const char* modelName = aDefs_GetModelName(model);
    if (modelErr != aErrNone || !file.ValidateModel(modelName)) {
        display.message(Display::MSG_ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        modelName != nullptr ? modelName : "", modelErr);
        return false;
    }
    return true;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr status = entity.LoaderInit();
    if (status != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", status, aError_GetErrorText(status));
        return status;
    }
    display.message(Display::MSG_INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    const int count = static_cast<int>(blocks.size());
    int number = 1;
    int64_t total = 0;
    uint16_t blockSize = 0;
    for (const BirdBlock& block : blocks) {
        display.message(Display::MSG_INFO, "Transferring loader block %d of %d, %d bytes", number, count,
                        static_cast<int>(block.length));
        const aErr prepared = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (prepared != aErrNone && prepared != aErrTimeout) {
            status = prepared;
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", status, aError_GetErrorText(status));
            break;
        }
        const aErr sent = entity.LoaderTransfer(block.data, block.length);
        if (sent != aErrNone) {
            status = sent;
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", status, aError_GetErrorText(status));
            continue;
        }
        total += block.length;
        ++number;
    }
    display.message(Display::MSG_INFO, "Transferred %d blocks, %d total bytes", number - 1, static_cast<int>(total));
    display.display_progress(false);
    if (status == aErrNone) {
        display.message(Display::MSG_INFO, "Starting Load on Device");
        status = entity.LoaderStart();
        if (status == aErrTimeout) {
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            status = aErrNone;
        } else if (status != aErrNone) {
            display.message(Display::MSG_ERROR, "Error starting loader [%d, %s]", status,
                            aError_GetErrorText(status));
        }
    }
    return status;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file, bool throughRouter,
                                 bool useUEIBytes)
{
    return sTransferFirmware(display, module, file, throughRouter, useUEIBytes, nullptr);
}
