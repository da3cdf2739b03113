// One UEI message of the object layer and the command codes it uses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Korvanta::Tessaline {

enum : uint32_t {
    UEI_TYPE_VOID = 0,
    UEI_TYPE_BYTE = 1,
    UEI_TYPE_SHORT = 2,
    UEI_TYPE_INT = 4,
    UEI_TYPE_BYTES = 5,
};

constexpr uint8_t cmdSYSTEM = 3;
constexpr uint8_t cmdI2C = 8;
constexpr uint8_t cmdDEBUG = 0x17;
constexpr uint8_t cmdINFO = 0x49;
constexpr uint8_t cmdENTITY_STORE = 0x5C;
constexpr uint8_t cmdSTREAM = 0x5D;

// Option byte flags.
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
constexpr uint8_t ueiOPTION_ACK = 0xC0;
constexpr uint8_t ueiOPTION_MASK = 0x3F;
// Index byte flags.
constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;
constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;
constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
// UEIBytes trailer.
constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;
constexpr size_t ueiBYTES_CHUNK = 24;

struct uei {
    uint8_t module;     // even, non-zero
    uint8_t command;    // entity class
    uint8_t option;     // option byte as sent or expected, flags included
    uint8_t specifier;  // index byte as sent or expected; error answers keep bit 7
    union {
        uint8_t byteValue;  // also the module's error code after an error answer
        uint16_t shortValue;
        uint32_t intValue;
        uint8_t* bytesData;  // UEIBytes: caller's buffer, advanced while receiving
    } value;
    uint8_t bytesSequence;  // UEIBytes receive: sequence expected next
    bool bytesMore;         // UEIBytes receive: the last accepted packet announced more
    size_t bytesSize;       // UEIBytes: length to send or capacity to receive into
    size_t* bytesReceived;  // UEIBytes receive: caller's running count
    uint32_t type;          // UEI_TYPE_*
};

}  // namespace Korvanta::Tessaline
