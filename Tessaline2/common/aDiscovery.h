// Enumeration of reachable modules into link specifiers (USB and TCP/IP).
#pragma once

#include <cstdint>

#include "aLinkSpec.h"

struct sockaddr;

// Called once per module found. The specifier is valid only during the call
// (copy it with aLinkSpec_Copy to keep it). Set *accepted to have the module
// counted; return true to go on enumerating, false to stop.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* accepted, void* ref);

// UDP ports and group of the TCP/IP module query.
constexpr uint16_t kTCPIPDiscoveryQueryPort = 9888;
constexpr uint16_t kTCPIPDiscoveryReplyPort = 9889;
constexpr const char* kTCPIPDiscoveryGroup = "232.2.2.2";
// Silence after the last reply that ends a TCP/IP search.
constexpr int kTCPIPDiscoveryTimeoutMs = 2000;

// 127.0.0.1 in network byte order, as kept in a socket address: "any interface".
uint32_t aDiscovery_AnyInterface();

// Lists the modules of one transport (USB 1, TCP/IP 2; networked types through
// the network discovery, none otherwise) and returns how many the callback
// accepted. networkInterface is an IPv4 address in network byte order.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface);

// A new specifier (caller frees with aLinkSpec_Destroy) of the first module with
// that serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// A new specifier of the first module whose serial number is not 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Host-order IPv4 address of an IPv4 socket address; 0 for null or other families.
uint32_t SockAddrToUint32(const struct sockaddr* address);
