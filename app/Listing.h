// Console listings of the front end: version line, notice, fingerprint,
// discovered devices. All go through the display at information level.
#pragma once

#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aLinkSpec.h"

void _display_app_version(UpdaterDisplayInterface& display);
void _display_notice(UpdaterDisplayInterface& display);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fp);
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType transport);
