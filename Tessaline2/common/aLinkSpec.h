// Link types and the link specifier: the 128-byte record that names one module's link.
// The record travels between processes byte for byte, so its layout is fixed (little-endian).
#ifndef TESSALINE_ALINKSPEC_H
#define TESSALINE_ALINKSPEC_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef enum linkType : uint32_t {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    NWEAVE = 4,
    NWEAVE_USB = 5,
    NWEAVE_TCPIP = 6,
    NWEAVE_SERIAL = 7,
} linkType;

// Size of linkSpec::portName, terminating zero included.
#define aLINKSPEC_PORTNAME_SIZE 100

typedef struct linkSpec {
    linkType type;               // offset 0
    uint32_t serialNumber;       // offset 4
    uint32_t module;             // offset 8: address on the module network, 0 when unknown
    uint32_t router;             // offset 12: address of the routing module, 0 when unknown
    uint32_t routerSerialNumber; // offset 16
    uint32_t model;              // offset 20
    union {                      // offset 24: transport details start here
        uint32_t ipAddress;      // TCP/IP and networked: IPv4 address, network byte order
        uint32_t usbId;          // USB: the serial number again
        uint32_t baudRate;       // serial
    };
    union {                      // offset 28
        uint32_t ipPort;         // TCP/IP and networked: port in the low 16 bits
        char portName[aLINKSPEC_PORTNAME_SIZE]; // serial: device path, zero-terminated
    };
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, type) == 0);
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, module) == 8);
static_assert(offsetof(linkSpec, router) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, ipAddress) == 24);
static_assert(offsetof(linkSpec, usbId) == 24);
static_assert(offsetof(linkSpec, baudRate) == 24);
static_assert(offsetof(linkSpec, ipPort) == 28);
static_assert(offsetof(linkSpec, portName) == 28);

// Offset and size of the transport details (everything after the model number).
#define aLINKSPEC_DETAILS_OFFSET 24
#define aLINKSPEC_DETAILS_SIZE (sizeof(linkSpec) - aLINKSPEC_DETAILS_OFFSET)

// True for the networked types 4..7.
inline bool aLinkSpec_IsNetworked(linkType type)
{
    return type >= NWEAVE && type <= NWEAVE_SERIAL;
}

// New zeroed specifier with the type set; null when memory runs out.
linkSpec* aLinkSpec_Create(linkType type);
// New copy of all 128 bytes; null for a null source or when memory runs out.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees the specifier and sets *spec to null; aErrParam when spec or *spec is null.
aErr aLinkSpec_Destroy(linkSpec** spec);

#endif
