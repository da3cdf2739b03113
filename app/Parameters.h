// The command line turned into one record.
#pragma once

#include <cstdint>
#include <string>

#include "aLinkSpec.h"

class CLI_Display;
class UpdaterDisplayInterface;

// A reserved name that can never resolve: the real server is configured with -u.
inline constexpr const char* kDefaultServerHost = "updates.korvanta.example";
inline constexpr const char* kDefaultServerUrl = "http://updates.korvanta.example/cgi/u";
inline constexpr const char* kProgramDisplayName = "Updater";
// Transport value the front end uses for recovery through a boot ROM.
inline constexpr linkType kTransportRecover = static_cast<linkType>(255);

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET_BUILD = 0x8,
    CMD_VIEW_INFO = 0x10,
    CMD_CHECK_BIRD = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_LIST_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
};

// Every command bit; the ones no option sets are reserved.
inline constexpr uint32_t kAllCommandsMask = 0x307FF;

class CommandsClass {
public:
    void Set(COMMANDS c) { bits |= c; }
    bool IsSet(COMMANDS c) const { return (bits & c) != 0; }
    bool IsAnySet(uint32_t mask) const { return (bits & mask) != 0; }
    uint32_t Bits() const { return bits; }

private:
    uint32_t bits = 0;
};

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    linkType transport = USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string buildNumber; // decimal digits, or empty for "latest"
    bool echo = false;
    std::string serverUrl = kDefaultServerUrl;
    bool flagN = false;
    std::string storageDirectory;
    std::string programName;
    std::string logFileName = "Updater.log";
    bool overrideChecks = false;
    bool useUEIBytes = true;
    uint32_t logMask = 0;
    bool extendedUsage = false;
    bool helpRequested = false;
};

// Fills `params` (after resetting every field to its default). Returns 0 on
// success or when help was asked for, 1 when any option was rejected.
// Rejections are reported through `display` as errors.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
int _validate_params(Parameters* params);
void _release_params(Parameters* params);

// Value conversions: 0 when `end` is null or the text holds a character
// outside the accepted digits (then *end is left untouched); otherwise the low
// 32 bits of the value, with *end set past the digits. Empty text gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
