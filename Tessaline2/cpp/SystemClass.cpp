// SystemClass: typed accessors of the system entity's options.
#include "SystemClass.h"

#include <cstdint>

namespace Korvanta::Tessaline {

void SystemClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdSYSTEM, index);
}

aErr SystemClass::getModule(uint8_t* value)
{
    return getUEI8(systemOptionModule, value);
}

aErr SystemClass::setRouter(uint8_t value)
{
    return setUEI8(systemOptionRouter, value);
}

aErr SystemClass::getRouter(uint8_t* value)
{
    return getUEI8(systemOptionRouter, value);
}

aErr SystemClass::setHBInterval(uint8_t value)
{
    return setUEI8(systemOptionHBInterval, value);
}

aErr SystemClass::getHBInterval(uint8_t* value)
{
    return getUEI8(systemOptionHBInterval, value);
}

aErr SystemClass::setLED(uint8_t value)
{
    return setUEI8(systemOptionLED, value);
}

aErr SystemClass::getLED(uint8_t* value)
{
    return getUEI8(systemOptionLED, value);
}

aErr SystemClass::setBootSlot(uint8_t value)
{
    return setUEI8(systemOptionBootSlot, value);
}

aErr SystemClass::getBootSlot(uint8_t* value)
{
    return getUEI8(systemOptionBootSlot, value);
}

aErr SystemClass::getVersion(uint32_t* value)
{
    return getUEI32(systemOptionVersion, value);
}

aErr SystemClass::getModel(uint8_t* value)
{
    return getUEI8(systemOptionModel, value);
}

aErr SystemClass::getSerialNumber(uint32_t* value)
{
    return getUEI32(systemOptionSerialNumber, value);
}

aErr SystemClass::getInputVoltage(uint32_t* value)
{
    return getUEI32(systemOptionInputVoltage, value);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* value)
{
    return getUEI8(systemOptionModuleHardwareOffset, value);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* value)
{
    return getUEI8(systemOptionModuleBaseAddress, value);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t value)
{
    return setUEI8(systemOptionModuleSoftwareOffset, value);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* value)
{
    return getUEI8(systemOptionModuleSoftwareOffset, value);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* value)
{
    return getUEI8(systemOptionRouterAddressSetting, value);
}

aErr SystemClass::getInputCurrent(uint32_t* value)
{
    return getUEI32(systemOptionInputCurrent, value);
}

aErr SystemClass::getUptime(uint32_t* value)
{
    return getUEI32(systemOptionUptime, value);
}

aErr SystemClass::getMaximumTemperature(int32_t* value)
{
    return getSigned(systemOptionMaximumTemperature, value);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* value)
{
    return getSigned(systemOptionUnregulatedVoltage, value);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* value)
{
    return getSigned(systemOptionUnregulatedCurrent, value);
}

aErr SystemClass::getTemperature(int32_t* value)
{
    return getSigned(systemOptionTemperature, value);
}

aErr SystemClass::getMinimumTemperature(int32_t* value)
{
    return getSigned(systemOptionMinimumTemperature, value);
}

aErr SystemClass::getInputPowerSource(uint8_t* value)
{
    return getUEI8(systemOptionInputPowerSource, value);
}

aErr SystemClass::setInputPowerBehavior(uint8_t value)
{
    return setUEI8(systemOptionInputPowerBehavior, value);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* value)
{
    return getUEI8(systemOptionInputPowerBehavior, value);
}

aErr SystemClass::getPowerLimit(uint32_t* value)
{
    return getUEI32(systemOptionPowerLimit, value);
}

aErr SystemClass::setPowerLimitMax(uint32_t value)
{
    return setUEI32(systemOptionPowerLimitMax, value);
}

aErr SystemClass::getPowerLimitMax(uint32_t* value)
{
    return getUEI32(systemOptionPowerLimitMax, value);
}

aErr SystemClass::getPowerLimitState(uint32_t* value)
{
    return getUEI32(systemOptionPowerLimitState, value);
}

aErr SystemClass::setLinkInterface(uint8_t value)
{
    return setUEI8(systemOptionLinkInterface, value);
}

aErr SystemClass::getLinkInterface(uint8_t* value)
{
    return getUEI8(systemOptionLinkInterface, value);
}

aErr SystemClass::getHardwareVersion(uint32_t* value)
{
    return getUEI32(systemOptionHardwareVersion, value);
}

aErr SystemClass::getErrors(uint32_t* value)
{
    return getUEI32(systemOptionErrors, value);
}

aErr SystemClass::setLEDMaxBrightness(uint8_t value)
{
    return setUEI8(systemOptionLEDMaxBrightness, value);
}

aErr SystemClass::getLEDMaxBrightness(uint8_t* value)
{
    return getUEI8(systemOptionLEDMaxBrightness, value);
}

aErr SystemClass::getBuild(uint32_t* value)
{
    return getUEI32(systemOptionBuild, value);
}

aErr SystemClass::getProtocolFeatures(uint32_t* value)
{
    return getUEI32(systemOptionProtocolFeatures, value);
}

aErr SystemClass::save()
{
    return callUEI(systemOptionSave);
}

aErr SystemClass::reset()
{
    return callUEI(systemOptionReset);
}

aErr SystemClass::logEvents()
{
    return callUEI(systemOptionLogEvents);
}

aErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(systemOptionResetDeviceToFactoryDefaults);
}

aErr SystemClass::routeToMe(uint8_t value)
{
    return setUEI8(systemOptionRouteToMe, value);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count)
{
    if (!words && count != 0)
        return aErrParam;
    if (count > SIZE_MAX / sizeof(uint32_t))
        return aErrParam;
    return setUEIBytes(systemOptionInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words),
                       count * sizeof(uint32_t));
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count)
{
    if (!words || !count || capacity == 0 || capacity > SIZE_MAX / sizeof(uint32_t))
        return aErrParam;
    const aErr result = getUEIBytes(systemOptionInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                                    capacity * sizeof(uint32_t), count);
    if (result != aErrNone) {
        *count /= sizeof(uint32_t);  // whole words received before the failure
        return result;
    }
    return getUEIBytesCheck(count, sizeof(uint32_t));
}

aErr SystemClass::setName(const uint8_t* text, size_t length)
{
    return setUEIBytes(systemOptionName, text, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length)
{
    const aErr result = getUEIBytes(systemOptionName, buffer, capacity, length);
    if (result != aErrNone)
        return result;
    return getUEIBytesCheck(length, 1);
}

// Signed values travel as the bits of a 32-bit word.
aErr SystemClass::getSigned(uint8_t option, int32_t* value)
{
    if (!value)
        return aErrParam;
    uint32_t bits = 0;
    const aErr result = getUEI32(option, &bits);
    if (result == aErrNone || result == aErrStreamStale)
        *value = static_cast<int32_t>(bits);
    return result;
}

}  // namespace Korvanta::Tessaline
