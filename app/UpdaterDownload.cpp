// Choice, validation and download of builds; build listings.
#include "Updater.h"

#include "UpdaterStore.h"

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool)
{
    return 0;
}

BuildList Updater::Get_BuildList(uint32_t)
{
    return {};
}

BuildList Updater::Get_BuildListLocal(uint32_t)
{
    return {};
}

void Updater::_display_builds(UpdaterDisplayInterface&, BuildList&, uint32_t)
{
}

bool Updater::_valid_build(uint32_t, uint32_t, const char*)
{
    return false;
}

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface&, const std::string&, const char*)
{
    return nullptr;
}
