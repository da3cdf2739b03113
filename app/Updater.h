// The update engine: one object whose operations are the program's commands.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "aLinkSpec.h"

class BirdFile;
class UpdaterStore;
namespace Korvanta::Tessaline {
class Module;
}

// Build-number text to version text.
using BuildList = std::map<std::string, std::string>;

class Updater {
public:
    using Module = Korvanta::Tessaline::Module;

    // Chip families found by the fingerprint read.
    static constexpr uint8_t kRecoveryChipNone = 0;
    static constexpr uint8_t kRecoveryChipIMX = 1;
    static constexpr uint8_t kRecoveryChipLPC = 2;

    Updater(const char* serverUrl, const char* storageDirectory, UpdaterDisplayInterface& display);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool enable);

    const std::string& GetServerUrl() const { return serverUrl; }
    const std::string& GetStorageDirectory() const { return storageDirectory; }
    UpdaterDisplayInterface& GetDisplay() const { return display; }
    uint8_t GetRecoveryChip() const { return recoveryChip; }
    bool GetUEIBytesLoad() const { return useUEIBytes; }

    // Discovery (UpdaterDiscovery.cpp).
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_TSNetwork_Devices(uint32_t routerSerialNumber, linkType type);

    // Builds and downloads (UpdaterDownload.cpp).
    uint32_t Download_Firmware(uint32_t serialNumber, std::string build, bool skipValidation, bool noCal);
    BuildList Get_BuildList(uint32_t serialNumber);
    BuildList Get_BuildListLocal(uint32_t serialNumber);

    // Firmware update (UpdaterUpdate.cpp). load_bird throws std::runtime_error
    // when the file cannot be loaded.
    bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFile, uint8_t moduleAddress,
                         uint32_t routerSerialNumber, bool overrideChecks);
    BirdFile load_bird(const char* action, std::string birdFile, uint32_t serialNumber, uint32_t build,
                       bool downloadIfMissing);

    // Recovery through a boot ROM (UpdaterRecovery.cpp).
    bool Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baudRate, uint32_t serialNumber,
                          std::string birdFile, bool overrideChecks);
    bool Get_Fingerprint(Fingerprint& fp, std::string port, uint32_t serialNumber, std::string birdFile,
                         uint32_t baud, bool resetAfter);
    uint32_t Download_Firmware(Fingerprint fp, std::string build, bool skipValidation);

    // Engine-local helpers.

    // Discovery.
    static aErr _disableEther(Module& module, UpdaterDisplayInterface& display);
    static linkType _discover_link_type(uint32_t serialNumber);
    static uint32_t _get_build_number(Module& module);
    static aErr _get_version(Module& module, DeviceInfo& info);
    static aErr _get_device_name(Module& module, DeviceInfo& info);
    static bool _discovered_device(const linkSpec* spec, bool* accepted, void* list);
    static bool _discovered_link(const linkSpec* spec, bool* accepted, void* state);

    // Builds and downloads.
    static void _display_builds(UpdaterDisplayInterface& display, BuildList& builds, uint32_t serialNumber);
    static bool _valid_build(uint32_t serialNumber, uint32_t build, const char* serverUrl);
    static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                             const std::string& directory, const char* caller);

    // Firmware update.
    static bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                                   uint32_t serialNumber);
    static aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file);
    static aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                                   bool throughRouter, bool useUEIBytes);

    // Recovery.
    static bool _get_fingerprint_lpc(std::string port, uint32_t baud, Fingerprint& fp);
    static bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                                     uint32_t serialNumber, std::string birdFile, Fingerprint& fp,
                                     bool resetAfter);
    static aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& loader, std::string port);
    static bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, std::string& port,
                                      uint32_t baud, Fingerprint& fp);
    static bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, uint32_t serialNumber,
                                      bool fast);

private:
    std::string serverUrl;
    std::string storageDirectory;
    UpdaterDisplayInterface& display;
    uint8_t recoveryChip = kRecoveryChipNone;
    bool useUEIBytes = false;
};
