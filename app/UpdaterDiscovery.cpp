// Discovery of modules and reading of their device information.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType)
{
    return {};
}

std::vector<DeviceInfo> Updater::Discover_TSNetwork_Devices(uint32_t, linkType)
{
    return {};
}

aErr Updater::_disableEther(Module&, UpdaterDisplayInterface&)
{
    return aErrUnimplemented;
}

linkType Updater::_discover_link_type(uint32_t)
{
    return INVALID;
}

uint32_t Updater::_get_build_number(Module&)
{
    return 0;
}

aErr Updater::_get_version(Module&, DeviceInfo&)
{
    return aErrUnimplemented;
}

aErr Updater::_get_device_name(Module&, DeviceInfo&)
{
    return aErrUnimplemented;
}

bool Updater::_discovered_device(const linkSpec*, bool* accepted, void*)
{
    if (accepted != nullptr)
        *accepted = false;
    return false;
}

bool Updater::_discovered_link(const linkSpec*, bool* accepted, void*)
{
    if (accepted != nullptr)
        *accepted = false;
    return false;
}
