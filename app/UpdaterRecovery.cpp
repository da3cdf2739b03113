// Recovery through a chip's boot ROM, and its fingerprint.
#include "Updater.h"

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool)
{
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool)
{
    return false;
}

uint32_t Updater::Download_Firmware(Fingerprint, std::string, bool)
{
    return 0;
}

bool Updater::_get_fingerprint_lpc(std::string, uint32_t, Fingerprint&)
{
    return false;
}

bool Updater::_get_fingerprint_imx(UpdaterDisplayInterface&, Updater&, std::string, uint32_t, std::string,
                                   Fingerprint&, bool)
{
    return false;
}

aErr Updater::_transfer_recovery_loader(UpdaterDisplayInterface&, BirdFile&, std::string)
{
    return aErrUnimplemented;
}

bool Updater::_recover_firmware_lpc(UpdaterDisplayInterface&, BirdFile&, std::string&, uint32_t, Fingerprint&)
{
    return false;
}

bool Updater::_recover_firmware_imx(UpdaterDisplayInterface&, BirdFile&, uint32_t, bool)
{
    return false;
}
