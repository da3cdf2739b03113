// The system entity (command 3): identity, power, LEDs and housekeeping of a module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "EntityClass.h"

namespace Korvanta::Tessaline {

class SystemClass : public EntityClass {
public:
    void init(Module* module, uint8_t index);

    // Option codes.
    enum : uint8_t {
        systemOptionModule = 1,
        systemOptionRouter = 2,
        systemOptionHBInterval = 3,
        systemOptionLED = 4,
        systemOptionBootSlot = 6,
        systemOptionVersion = 7,
        systemOptionModel = 8,
        systemOptionSerialNumber = 9,
        systemOptionSave = 10,
        systemOptionReset = 11,
        systemOptionInputVoltage = 12,
        systemOptionModuleHardwareOffset = 13,
        systemOptionModuleBaseAddress = 14,
        systemOptionModuleSoftwareOffset = 15,
        systemOptionRouterAddressSetting = 16,
        systemOptionRouteToMe = 20,
        systemOptionInputCurrent = 21,
        systemOptionUptime = 22,
        systemOptionMaximumTemperature = 23,
        systemOptionLogEvents = 24,
        systemOptionUnregulatedVoltage = 25,
        systemOptionUnregulatedCurrent = 26,
        systemOptionTemperature = 27,
        systemOptionMinimumTemperature = 28,
        systemOptionInputPowerSource = 29,
        systemOptionInputPowerBehavior = 30,
        systemOptionInputPowerBehaviorConfig = 31,
        systemOptionName = 32,
        systemOptionPowerLimit = 33,
        systemOptionPowerLimitMax = 34,
        systemOptionPowerLimitState = 35,
        systemOptionResetDeviceToFactoryDefaults = 37,
        systemOptionLinkInterface = 38,
        systemOptionHardwareVersion = 40,
        systemOptionErrors = 41,
        systemOptionLEDMaxBrightness = 42,
        systemOptionBuild = 43,
        systemOptionProtocolFeatures = 45,
    };

    aErr getModule(uint8_t* value);
    aErr setRouter(uint8_t value);
    aErr getRouter(uint8_t* value);
    aErr setHBInterval(uint8_t value);
    aErr getHBInterval(uint8_t* value);
    aErr setLED(uint8_t value);
    aErr getLED(uint8_t* value);
    aErr setBootSlot(uint8_t value);
    aErr getBootSlot(uint8_t* value);
    aErr getVersion(uint32_t* value);
    aErr getModel(uint8_t* value);
    aErr getSerialNumber(uint32_t* value);
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* value);
    aErr getModuleBaseAddress(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr getRouterAddressSetting(uint8_t* value);
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getInputPowerBehavior(uint8_t* value);
    aErr getPowerLimit(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr getPowerLimitState(uint32_t* value);
    aErr setLinkInterface(uint8_t value);
    aErr getLinkInterface(uint8_t* value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr getBuild(uint32_t* value);
    aErr getProtocolFeatures(uint32_t* value);
    aErr save();
    aErr reset();
    aErr logEvents();
    aErr resetDeviceToFactoryDefaults();
    aErr routeToMe(uint8_t value);

    // Words travel in host byte order; *count is in words.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    aErr setName(const uint8_t* text, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* length);

private:
    aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Korvanta::Tessaline
