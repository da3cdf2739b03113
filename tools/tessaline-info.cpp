// tessaline-info: lists the modules of one transport, or connects to one module
// by serial number and prints what its system entity reports.
//
//   tessaline-info [-t USB|TCP] [-i ADDRESS]            list modules
//   tessaline-info [-t USB|TCP] [-i ADDRESS] -d SERIAL  describe one module
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Module.h"
#include "SystemClass.h"
#include "aDefs.h"
#include "aDiscovery.h"
#include "aError.h"
#include "aVersion.h"

using namespace Korvanta::Tessaline;

namespace {

int usage(const char* program)
{
    fprintf(stderr, "usage: %s [-t USB|TCP] [-i INTERFACE_ADDRESS] [-d SERIAL]\n", program);
    return 1;
}

bool printSpec(const linkSpec* spec, bool* accepted, void*)
{
    char address[INET_ADDRSTRLEN] = "";
    if (spec->type == TCPIP) {
        in_addr a{};
        a.s_addr = spec->ipAddress;
        inet_ntop(AF_INET, &a, address, sizeof(address));
    }
    printf("%08X  model %-3u %-10s module 0x%02X  %s%s%s\n", spec->serialNumber, spec->model,
           aDefs_GetModelName(static_cast<int>(spec->model)), spec->module, spec->type == TCPIP ? address : "USB",
           spec->type == TCPIP ? ":" : "", spec->type == TCPIP ? std::to_string(spec->ipPort).c_str() : "");
    *accepted = true;
    return true;
}

// Prints one value, or the reason it could not be read.
template <typename T>
void show(const char* label, aErr result, T value, const char* format)
{
    printf("  %-22s ", label);
    if (result == aErrNone)
        printf(format, value);
    else
        printf("(%s)", aError_GetErrorText(result));
    printf("\n");
}

int describe(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    Module module(2);
    nWeaveConfig config;
    config.enabled = false;  // a direct link of this process
    config.fallback = false;
    config.networkInterface = networkInterface;
    module.setConfig(config);
    const aErr connected = module.connect(type, serialNumber);
    if (connected != aErrNone) {
        fprintf(stderr, "cannot connect to %08X: %s\n", serialNumber, aError_GetErrorDescription(connected));
        return 1;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t u32 = 0;
    uint8_t u8 = 0;
    int32_t i32 = 0;
    printf("Module %08X at address 0x%02X\n", serialNumber, module.getModuleAddress());
    aErr r = system.getSerialNumber(&u32);
    show("serial number", r, u32, "%08X");
    r = system.getModel(&u8);
    show("model", r, static_cast<unsigned>(u8), "%u");
    r = system.getVersion(&u32);
    char version[32] = "";
    if (r == aErrNone)
        aVersion_ParseString(u32, version, sizeof(version));
    show("firmware version", r, version, "%s");
    r = module.getBuild(&u32);
    show("build", r, u32, "%u");
    r = system.getHardwareVersion(&u32);
    show("hardware version", r, u32, "0x%08X");
    uint8_t name[256] = {0};
    size_t length = 0;
    r = system.getName(name, sizeof(name) - 1, &length);
    name[length < sizeof(name) ? length : sizeof(name) - 1] = 0;
    show("name", r, reinterpret_cast<const char*>(name), "%s");
    r = system.getUptime(&u32);
    show("uptime", r, u32, "%u");
    r = system.getInputVoltage(&u32);
    show("input voltage", r, u32, "%u");
    r = system.getTemperature(&i32);
    show("temperature", r, i32, "%d");
    r = system.getBootSlot(&u8);
    show("boot slot", r, static_cast<unsigned>(u8), "%u");
    r = system.getProtocolFeatures(&u32);
    show("protocol features", r, u32, "0x%08X");
    module.disconnect();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    linkType type = USB;
    uint32_t serialNumber = 0;
    uint32_t networkInterface = aDiscovery_AnyInterface();
    int option;
    while ((option = getopt(argc, argv, "t:d:i:h")) != -1) {
        switch (option) {
        case 't':
            if (strcasecmp(optarg, "USB") == 0)
                type = USB;
            else if (strcasecmp(optarg, "TCP") == 0 || strcasecmp(optarg, "TCPIP") == 0)
                type = TCPIP;
            else
                return usage(argv[0]);
            break;
        case 'd': {
            char* end = nullptr;
            const unsigned long value = strtoul(optarg, &end, 16);
            if (!*optarg || *end || value == 0 || value > 0xFFFFFFFFul)
                return usage(argv[0]);
            serialNumber = static_cast<uint32_t>(value);
            break;
        }
        case 'i': {
            in_addr a{};
            if (inet_pton(AF_INET, optarg, &a) != 1)
                return usage(argv[0]);
            networkInterface = a.s_addr;
            break;
        }
        default:
            return usage(argv[0]);
        }
    }
    if (optind != argc)
        return usage(argv[0]);
    if (serialNumber)
        return describe(type, serialNumber, networkInterface);
    const uint8_t count = aDiscovery_EnumerateModules(type, printSpec, nullptr, networkInterface);
    printf("%u module%s\n", count, count == 1 ? "" : "s");
    return 0;
}
