#include "Listing.h"

#include <cstdio>
#include <cstring>

#include "aVersion.h"

namespace {

using Display = UpdaterDisplayInterface;

// __DATE__ is "Mmm dd yyyy" with the day padded by a space.
const char* buildYear()
{
    return &__DATE__[7];
}

const char* transportName(linkType transport)
{
    switch (transport) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    default: return "Unknown";
    }
}

} // namespace

void _display_app_version(UpdaterDisplayInterface& display)
{
    char version[64];
    snprintf(version, sizeof version, "Version: %s %s", aVersion_GetString(), __DATE__);
    display.message(Display::MSG_INFO, "%s (%s)", "Updater", version);
}

void _display_notice(UpdaterDisplayInterface& display)
{
    display.message(Display::MSG_INFO, "(Copyright (c) 1994-%s Korvanta, Inc. All rights reserved.)", buildYear());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp)
{
    display.message(Display::MSG_INFO, "[ %08X %08X %08X %08X ]", fp.word[0], fp.word[1], fp.word[2], fp.word[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType transport)
{
    display.message(Display::MSG_INFO, "Discovered Devices: (%s)", transportName(transport));
    if (devices.empty()) {
        display.message(Display::MSG_INFO, "    No devices found.");
        return;
    }
    if (transport == USB)
        display.message(Display::MSG_INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(Display::MSG_INFO, "    Device    Module   Router  Model          Firmware Version (Build)   "
                                           "[IP address]       Device Name");

    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        if (spec.type == TCPIP) {
            // Stored in network order: the first byte in memory is the first octet.
            unsigned char octets[4];
            memcpy(octets, &spec.ipAddress, sizeof octets);
            char address[20];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", octets[0], octets[1], octets[2], octets[3]);
            display.message(Display::MSG_INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            spec.serialNumber, spec.module, spec.router, device.modelName.c_str(), device.major,
                            device.minor, device.patch, device.build, address, device.deviceName.c_str());
        } else if (device.error != 0) {
            display.message(Display::MSG_INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                            spec.serialNumber, device.error);
        } else {
            display.message(Display::MSG_INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                            spec.serialNumber, spec.module, spec.router, device.modelName.c_str(), device.major,
                            device.minor, device.patch, device.build, device.deviceName.c_str());
        }
    }
}
