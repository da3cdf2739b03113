// Installing a build into a running module.
#include "Updater.h"

#include <stdexcept>

#include "BirdFile.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool)
{
    return false;
}

BirdFile Updater::load_bird(const char*, std::string, uint32_t, uint32_t, bool)
{
    throw std::runtime_error("Error reading birdfile");
}

bool Updater::_validate_birdfile(UpdaterDisplayInterface&, BirdFile&, Module&, uint32_t)
{
    return false;
}

aErr Updater::_transfer_loader(UpdaterDisplayInterface&, Module&, BirdFile&)
{
    return aErrUnimplemented;
}

aErr Updater::_transfer_firmware(UpdaterDisplayInterface&, Module&, BirdFile&, bool, bool)
{
    return aErrUnimplemented;
}
