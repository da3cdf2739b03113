// Entry point: parse the command line, then run the requested commands in
// their fixed order (-N, -G, then the first of -D, -U, -B, -L).
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "CLI_Display.h"
#include "Listing.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "aDirectory.h"

namespace {

using Display = UpdaterDisplayInterface;

constexpr uint32_t kStorageMode = 0755;
constexpr uint32_t kUnknownSerialNumber = 0xDEADDEAD;

// The storage directory, created when missing; empty after a failure that
// has been reported.
std::string resolveStorageDirectory(Display& display, const Parameters& params)
{
    std::string base = params.storageDirectory;
    if (base.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return std::string();
        }
        base = BuildPath(home, ".korvanta", nullptr);
    }
    std::string directory = BuildPath(base.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(directory.c_str(), kStorageMode) != aErrNone) {
        display.message(Display::MSG_ERROR, "Could not find updater directory at %s", directory.c_str());
        return std::string();
    }
    return directory;
}

uint32_t buildFromText(const std::string& text)
{
    if (text.empty())
        return 0;
    try {
        size_t used = 0;
        unsigned long value = std::stoul(text, &used, 10);
        if (used != text.size() || value > UINT32_MAX)
            return 0;
        return static_cast<uint32_t>(value);
    } catch (const std::logic_error&) {
        return 0;
    }
}

int runDiscovery(CLI_Display& display, Updater& updater, const Parameters& params)
{
    linkType listing = params.transportGiven && params.transport != kTransportRecover ? params.transport : INVALID;
    if (params.routerSerialNumber != 0) {
        display.message(Display::MSG_INFO, "Searching for Tessaline Network devices connected to %08X",
                        params.routerSerialNumber);
        std::vector<DeviceInfo> devices = updater.Discover_TSNetwork_Devices(params.routerSerialNumber, listing);
        _display_device_list(display, devices, listing);
        return 0;
    }
    display.message(Display::MSG_INFO, "Searching for Tessaline devices");
    if (listing == INVALID)
        listing = USB;
    std::vector<DeviceInfo> devices = updater.Discover_Devices(listing);
    _display_device_list(display, devices, listing);
    return 0;
}

int runUpdate(CLI_Display& display, Updater& updater, const Parameters& params)
{
    uint32_t build = buildFromText(params.buildNumber);
    updater.Set_UEIBytes_Load(params.useUEIBytes);
    bool updated;
    if (params.transport == kTransportRecover) {
        updated = updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                           params.birdFile, params.overrideChecks);
    } else {
        if (params.serialNumber == 0) {
            display.message(Display::MSG_ERROR, "Must specify the specific device to be updated");
            return 1;
        }
        updated = updater.Update_Firmware(params.serialNumber, build, params.birdFile, params.moduleAddress,
                                          params.routerSerialNumber, params.overrideChecks);
    }
    return updated ? 0 : 1;
}

int runBuildList(CLI_Display& display, Updater& updater, const Parameters& params, bool local)
{
    if (params.serialNumber == 0) {
        display.message(Display::MSG_ERROR, local
                                                ? "Error must supply a serial number for the List Local Builds command"
                                                : "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        return 1;
    }
    BuildList builds = local ? updater.Get_BuildListLocal(params.serialNumber)
                             : updater.Get_BuildList(params.serialNumber);
    Updater::_display_builds(display, builds, params.serialNumber);
    return 0;
}

int dispatch(CLI_Display& display, Parameters& params)
{
    std::string directory = resolveStorageDirectory(display, params);
    if (directory.empty())
        return 1;
    Updater updater(params.serverUrl.c_str(), directory.c_str(), display);
    int status = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(Display::MSG_ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fp{};
        if (updater.Get_Fingerprint(fp, params.serialPort, kUnknownSerialNumber, params.birdFile, params.baudRate,
                                    true)) {
            _display_fingerprint(display, fp);
        } else {
            display.message(Display::MSG_ERROR, "Got no response from chip");
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serialNumber == 0) {
            display.message(Display::MSG_ERROR, "-G must specify a specific device via -d");
            display.message(Display::MSG_ERROR, "--help for usage information");
            return 1;
        }
        display.message(Display::MSG_INFO, "Retrieving firmware for device with serial number %08X",
                        params.serialNumber);
        if (params.buildNumber.empty()) {
            display.message(Display::MSG_INFO, "No build specified");
            display.message(Display::MSG_INFO, "Using Latest build");
        } else {
            display.message(Display::MSG_INFO, "Retrieving firmware build %s", params.buildNumber.c_str());
        }
        uint32_t downloaded =
            updater.Download_Firmware(params.serialNumber, params.buildNumber, params.overrideChecks, false);
        if (downloaded != 0) {
            params.buildNumber = std::to_string(downloaded);
            status = 0;
        } else {
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER))
        return runDiscovery(display, updater, params);
    if (params.commands.IsSet(CMD_UPDATE))
        return runUpdate(display, updater, params);
    if (params.commands.IsSet(CMD_LIST_BUILDS))
        return runBuildList(display, updater, params, false);
    if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS))
        return runBuildList(display, updater, params, true);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) == 1) {
        _display_app_version(display);
        _display_notice(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }

    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsAnySet(kAllCommandsMask)) {
        _display_notice(display);
        _display_usage(params.extendedUsage, params.helpRequested);
        _release_params(&params);
        return 0;
    }

    int status = dispatch(display, params);
    _release_params(&params);
    return status;
}
