// Module enumeration over USB (libusb and the kernel driver's nodes) and TCP/IP
// (UDP multicast query answered by the modules).
#include "aDiscovery.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "aError.h"
#include "tsusb.h"

namespace {

constexpr size_t kQuerySize = 16;
constexpr size_t kReplySize = 16;
// A reply needs at least address, port and serial number to name a module.
constexpr size_t kMinimumReplySize = 8;
// Bounds one search even when replies never stop coming.
constexpr int kMaximumReplies = 4096;
constexpr char kNodePrefix[] = "tessaline.";

struct EnumerationContext {
    aDiscoveryModuleFoundProc callback;
    void* ref;
    uint8_t accepted;
    bool stopped;
};

// Offers one specifier to the caller; false once the caller asked to stop.
bool sOffer(EnumerationContext& context, const linkSpec* spec)
{
    bool accepted = false;
    const bool goOn = context.callback(spec, &accepted, context.ref);
    if (accepted && context.accepted < UINT8_MAX)
        ++context.accepted;
    if (!goOn)
        context.stopped = true;
    return goOn;
}

// Exactly eight hexadecimal digits, as modules print their serial numbers.
bool sParseSerialText(const char* text, size_t length, uint32_t* serial)
{
    if (length != 8)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    char digits[9];
    memcpy(digits, text, 8);
    digits[8] = '\0';
    *serial = static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
    return true;
}

bool sCopyToUSBLinkspec(linkSpec* spec, uint32_t serialNumber, uint8_t model)
{
    if (!spec)
        return false;
    spec->type = USB;
    spec->serialNumber = serialNumber;
    spec->module = 0;
    spec->router = 0;
    spec->routerSerialNumber = 0;
    spec->model = model;
    spec->usbId = serialNumber;
    return true;
}

bool sOfferUSB(EnumerationContext& context, uint32_t serialNumber, uint8_t model)
{
    linkSpec* spec = aLinkSpec_Create(USB);
    if (!spec)
        return true;
    sCopyToUSBLinkspec(spec, serialNumber, model);
    const bool goOn = sOffer(context, spec);
    aLinkSpec_Destroy(&spec);
    return goOn;
}

// Walks the libusb device list; every serial number reported lands in `seen`.
void sEnumerateLibusb(EnumerationContext& context, std::set<uint32_t>& seen)
{
    libusb_context* usb = Tessaline_libusb_context();
    if (!usb)
        return;  // no USB access here (e.g. a container): nothing to list
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(usb, &list);
    if (count < 0)
        return;
    for (ssize_t i = 0; i < count && !context.stopped; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0)
            continue;
        if (!is_tessaline_device(descriptor.idVendor, descriptor.idProduct))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0 || !handle)
            continue;
        unsigned char text[33] = {0};
        const int length = descriptor.iSerialNumber
            ? libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, 32)
            : -1;
        // Closed before the callback, which may want to open the module itself.
        libusb_close(handle);
        uint32_t serialNumber = 0;
        if (length < 0 || !sParseSerialText(reinterpret_cast<const char*>(text),
                                            static_cast<size_t>(length), &serialNumber))
            continue;
        seen.insert(serialNumber);
        sOfferUSB(context, serialNumber, static_cast<uint8_t>(descriptor.idProduct & 0xFF));
    }
    libusb_free_device_list(list, 1);
}

std::string sDeviceDirectory()
{
    const char* dir = std::getenv(kTessalineDeviceDirEnv);
    return (dir && *dir) ? dir : kTessalineDeviceDirDefault;
}

// Modules served by the kernel driver that libusb did not show (for example
// because the driver holds them). Only names the USB stream can open again.
void sEnumerateKernelNodes(EnumerationContext& context, const std::set<uint32_t>& seen)
{
    const std::string directory = sDeviceDirectory();
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    const size_t prefixLength = sizeof(kNodePrefix) - 1;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == prefixLength + 8 && name.compare(0, prefixLength, kNodePrefix) == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        if (context.stopped)
            break;
        const std::string digits = name.substr(prefixLength);
        char canonical[9];
        uint32_t serialNumber = 0;
        if (!sParseSerialText(digits.c_str(), digits.size(), &serialNumber) || serialNumber == 0)
            continue;
        snprintf(canonical, sizeof(canonical), "%08X", serialNumber);
        if (digits != canonical)
            continue;  // the stream opens "tessaline.%08X" only
        struct stat info {};
        if (stat((directory + "/" + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode))
            continue;  // gone since the listing, or a dangling link
        if (seen.count(serialNumber))
            continue;
        sOfferUSB(context, serialNumber, 0);
    }
}

void sEnumerateUSB(EnumerationContext& context)
{
    std::set<uint32_t> seen;
    sEnumerateLibusb(context, seen);
    if (!context.stopped)
        sEnumerateKernelNodes(context, seen);
}

void sTCPIPCleanup(int* sock)
{
    if (sock && *sock >= 0) {
        close(*sock);
        *sock = -1;
    }
}

// Reply socket: bound to the interface (network order) and the reply port.
int sTCPIPSetupListener(uint32_t interfaceAddress)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return -1;
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kTCPIPDiscoveryReplyPort);
    local.sin_addr.s_addr = interfaceAddress;
    timeval timeout{};
    timeout.tv_sec = kTCPIPDiscoveryTimeoutMs / 1000;
    timeout.tv_usec = (kTCPIPDiscoveryTimeoutMs % 1000) * 1000;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        sTCPIPCleanup(&sock);
        return -1;
    }
    return sock;
}

// Sends one query through the interface (network order; 0 = the default one).
bool sTCPIPMultiCast(uint32_t interfaceAddress)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    const int on = 1;
    bool sent = setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
    if (sent && interfaceAddress != 0) {
        in_addr outgoing{};
        outgoing.s_addr = interfaceAddress;
        sent = setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing)) == 0;
    }
    if (sent) {
        uint8_t query[kQuerySize] = {0};
        query[0] = 1;
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(kTCPIPDiscoveryQueryPort);
        inet_pton(AF_INET, kTCPIPDiscoveryGroup, &group.sin_addr);
        sent = sendto(sock, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&group),
                      sizeof(group)) == static_cast<ssize_t>(sizeof(query));
    }
    sTCPIPCleanup(&sock);
    return sent;
}

// One query per IPv4 interface except loopback and the wildcard; the default
// interface when the list cannot be read.
bool sTCPIPQueryAll()
{
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return sTCPIPMultiCast(0);
    std::set<uint32_t> addresses;
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        const uint32_t address = SockAddrToUint32(i->ifa_addr);
        if (address != 0 && address != INADDR_LOOPBACK)
            addresses.insert(htonl(address));
    }
    freeifaddrs(interfaces);
    bool anySent = false;
    for (const uint32_t address : addresses)
        anySent = sTCPIPMultiCast(address) || anySent;
    return anySent;
}

void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* reply, uint32_t senderAddress)
{
    const uint32_t serialNumber = static_cast<uint32_t>(reply[4]) | (static_cast<uint32_t>(reply[5]) << 8) |
                                  (static_cast<uint32_t>(reply[6]) << 16) | (static_cast<uint32_t>(reply[7]) << 24);
    spec->type = TCPIP;
    spec->serialNumber = serialNumber;
    spec->routerSerialNumber = serialNumber;
    spec->module = reply[1];
    spec->router = reply[1];
    spec->model = reply[12];
    spec->ipAddress = senderAddress;
    spec->ipPort = static_cast<uint32_t>(reply[2]) | (static_cast<uint32_t>(reply[3]) << 8);
}

void sEnumerateTCPIP(EnumerationContext& context, uint32_t networkInterface)
{
    const bool anyInterface = networkInterface == aDiscovery_AnyInterface();
    const uint32_t bindAddress = anyInterface ? htonl(INADDR_ANY) : networkInterface;
    int sock = sTCPIPSetupListener(bindAddress);
    if (sock < 0)
        return;
    const bool querySent = anyInterface ? sTCPIPQueryAll() : sTCPIPMultiCast(networkInterface);
    if (!querySent) {
        sTCPIPCleanup(&sock);
        return;
    }

    // A module reached through two interfaces answers each query.
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> answered;
    for (int replies = 0; replies < kMaximumReplies && !context.stopped; ++replies) {
        uint8_t reply[kReplySize] = {0};
        reply[12] = 0xFF;  // a short reply carries no model
        sockaddr_in sender{};
        socklen_t senderLength = sizeof(sender);
        const ssize_t length = recvfrom(sock, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&sender),
                                        &senderLength);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            break;  // the silence after the last reply
        }
        if (static_cast<size_t>(length) < kMinimumReplySize || sender.sin_family != AF_INET)
            continue;
        linkSpec* spec = aLinkSpec_Create(TCPIP);
        if (!spec)
            break;
        sCopyToTCPIPLinkspec(spec, reply, sender.sin_addr.s_addr);
        if (answered.insert({spec->serialNumber, spec->ipAddress, spec->ipPort}).second)
            sOffer(context, spec);
        aLinkSpec_Destroy(&spec);
    }
    sTCPIPCleanup(&sock);
}

struct FindContext {
    linkSpec* spec;
    bool first;  // take the first non-zero serial number instead of a given one
};

bool sFindCallback(const linkSpec* found, bool* accepted, void* ref)
{
    FindContext* find = static_cast<FindContext*>(ref);
    if (!found)
        return true;
    if (find->first ? found->serialNumber == 0 : found->serialNumber != find->spec->serialNumber)
        return true;
    memcpy(find->spec, found, sizeof(linkSpec));
    *accepted = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool first, uint32_t networkInterface)
{
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec)
        return nullptr;
    spec->serialNumber = serialNumber;
    spec->module = 0;
    spec->router = 0;
    FindContext find{spec, first};
    if (aDiscovery_EnumerateModules(type, sFindCallback, &find, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

}  // namespace

uint32_t aDiscovery_AnyInterface()
{
    return htonl(INADDR_LOOPBACK);
}

uint32_t SockAddrToUint32(const struct sockaddr* address)
{
    if (!address || address->sa_family != AF_INET)
        return 0;
    sockaddr_in ipv4;
    memcpy(&ipv4, address, sizeof(ipv4));
    return ntohl(ipv4.sin_addr.s_addr);
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface)
{
    if (!callback)
        return 0;
    EnumerationContext context{callback, ref, 0, false};
    switch (type) {
    case USB:
        sEnumerateUSB(context);
        break;
    case TCPIP:
        sEnumerateTCPIP(context, networkInterface);
        break;
    default:
        // Networked types need the local sharing servers, which this build does not offer.
        break;
    }
    return context.accepted;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface)
{
    return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface)
{
    return sFind(type, 0, true, networkInterface);
}
