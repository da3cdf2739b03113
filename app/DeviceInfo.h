// One discovered module as the engine lists it.
#pragma once

#include <cstdint>
#include <string>

#include "aLinkSpec.h"

struct DeviceInfo {
    linkSpec spec{};
    uint16_t networkAddress = 0; // I2C address behind a router; 0 for direct modules
    uint32_t build = 0;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string deviceName;
    int32_t error = 0; // first failing aErr, 0 when every query succeeded
};
