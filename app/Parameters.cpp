#include "Parameters.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "OptionScanner.h"
#include "UpdaterDisplayInterface.h"

namespace {

enum OptionId {
    OPT_LIST_BUILDS = 1,
    OPT_LIST_LOCAL,
    OPT_DISCOVER,
    OPT_GET_BUILD,
    OPT_VIEW_INFO,
    OPT_UPDATE,
    OPT_OVERRIDE,
    OPT_FINGERPRINT,
    OPT_UNHANDLED_Y,
    OPT_CHECK_BIRD,
    OPT_HELP,
    OPT_FLAG_N,
    OPT_LOG_MASK,
    OPT_Z,
    OPT_UEI_BYTES,
    OPT_STORAGE,
    OPT_BUILD,
    OPT_SERIAL,
    OPT_TRANSPORT,
    OPT_BIRD_FILE,
    OPT_ROUTER,
    OPT_SERIAL_PORT,
    OPT_BAUD,
    OPT_ECHO,
    OPT_HISTORY,
    OPT_LOG_FILE,
    OPT_SERVER_URL,
};

constexpr std::array<OptionSpec, 29> kOptions{{
    {"-B", OPT_LIST_BUILDS, false},
    {"-L", OPT_LIST_LOCAL, false},
    {"-D", OPT_DISCOVER, false},
    {"-G", OPT_GET_BUILD, false},
    {"-I", OPT_VIEW_INFO, false},
    {"-U", OPT_UPDATE, false},
    {"-OVERRIDE", OPT_OVERRIDE, false},
    {"-N", OPT_FINGERPRINT, false},
    {"-Y", OPT_UNHANDLED_Y, false},
    {"-C", OPT_CHECK_BIRD, false},
    {"-h", OPT_HELP, false},
    {"-H", OPT_HELP, false},
    {"-n", OPT_FLAG_N, false},
    {"-X", OPT_LOG_MASK, true},
    {"-Z", OPT_Z, true},
    {"-m", OPT_UEI_BYTES, true},
    {"-i", OPT_STORAGE, true},
    {"-b", OPT_BUILD, true},
    {"-d", OPT_SERIAL, true},
    {"-t", OPT_TRANSPORT, true},
    {"-f", OPT_BIRD_FILE, true},
    {"-r", OPT_ROUTER, true},
    {"-s", OPT_SERIAL_PORT, true},
    {"-o", OPT_BAUD, true},
    {"-e", OPT_ECHO, false},
    {"-l", OPT_HISTORY, true},
    {"-k", OPT_LOG_FILE, true},
    {"-u", OPT_SERVER_URL, true},
    {"--help", OPT_HELP, false},
}};

uint32_t convertDigits(const char* text, char** end, const char* accepted, unsigned base)
{
    if (end == nullptr || text == nullptr)
        return 0;
    if (text[strspn(text, accepted)] != '\0')
        return 0;
    // Digit by digit so that any length keeps the low 32 bits without overflow.
    uint32_t value = 0;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        char c = *p;
        unsigned digit = c <= '9' ? static_cast<unsigned>(c - '0')
                                  : static_cast<unsigned>((c | 0x20) - 'a' + 10);
        value = value * base + digit;
    }
    *end = const_cast<char*>(p);
    return value;
}

const char* stripHexPrefix(const char* value, const char* logLine)
{
    if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", logLine);
        return value + 2;
    }
    return value;
}

// A serial number is one 32-bit word; text with more significant digits
// would silently name another module once cut to 32 bits.
bool parseSerial(const char* text, uint32_t& serial)
{
    char* end = nullptr;
    serial = _get_hex_arg(text, &end);
    size_t significant = strlen(text + strspn(text, "0"));
    return serial != 0 && significant <= 8;
}

linkType parseTransport(const char* value)
{
    if (strncmp(value, "USB", 3) == 0)
        return USB;
    if (strncmp(value, "TCP", 3) == 0)
        return TCPIP;
    if (strncmp(value, "RECOVER", 7) == 0)
        return kTransportRecover;
    return INVALID;
}

// Parses a -X value: "0x"/"0X" then hex digits, or decimal digits. Returns
// null when the whole text was taken, else the first unprocessed character.
const char* parseLogMask(const char* value, uint32_t& mask)
{
    bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const char* digits = hex ? value + 2 : value;
    const char* accepted = hex ? "0123456789ABCDEFabcdef" : "0123456789";
    size_t count = strspn(digits, accepted);
    if (hex && count == 0)
        digits = value + 1; // "0x" alone: the 0 is the number, "x..." is left over
    std::string number(digits, count);
    char* end = nullptr;
    mask = hex ? _get_hex_arg(number.c_str(), &end) : _get_int_arg(number.c_str(), &end);
    const char* rest = digits + count;
    return *rest == '\0' ? nullptr : rest;
}

std::string programNameOf(const char* path)
{
    if (path == nullptr)
        return std::string();
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\')
            name = p + 1;
    }
    return name;
}

} // namespace

uint32_t _get_hex_arg(const char* text, char** end)
{
    return convertDigits(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end)
{
    return convertDigits(text, end, "0123456789", 10);
}

int _validate_params(Parameters*)
{
    return 0;
}

void _release_params(Parameters* params)
{
    if (params != nullptr)
        *params = Parameters();
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params)
{
    *params = Parameters();
    params->programName = programNameOf(argc > 0 ? argv[0] : nullptr);
    bool failed = false;

    OptionScanner scanner(argc, argv, kOptions);
    for (;;) {
        OptionScanner::Result option = scanner.next();
        if (option.status == OptionScanner::Status::End)
            break;
        if (option.status == OptionScanner::Status::Error)
            continue;
        const char* value = option.value;
        char* end = nullptr;
        switch (option.id) {
        case OPT_HELP:
            params->commands.Set(CMD_HELP);
            params->helpRequested = true;
            return 0;
        case OPT_LIST_BUILDS: params->commands.Set(CMD_LIST_BUILDS); break;
        case OPT_LIST_LOCAL: params->commands.Set(CMD_LIST_LOCAL_BUILDS); break;
        case OPT_DISCOVER: params->commands.Set(CMD_DISCOVER); break;
        case OPT_GET_BUILD: params->commands.Set(CMD_GET_BUILD); break;
        case OPT_VIEW_INFO: params->commands.Set(CMD_VIEW_INFO); break;
        case OPT_UPDATE: params->commands.Set(CMD_UPDATE); break;
        case OPT_FINGERPRINT: params->commands.Set(CMD_FINGERPRINT); break;
        case OPT_CHECK_BIRD: params->commands.Set(CMD_CHECK_BIRD); break;
        case OPT_OVERRIDE: params->overrideChecks = true; break;
        case OPT_UNHANDLED_Y:
            display.message(UpdaterDisplayInterface::MSG_ERROR, "Unhandled command: [%s]", "-Y");
            failed = true;
            break;
        case OPT_SERIAL: {
            const char* text = stripHexPrefix(value, "Discarding '0x' serial number prefix\n");
            if (!parseSerial(text, params->serialNumber)) {
                params->serialNumber = 0;
                display.message(UpdaterDisplayInterface::MSG_ERROR,
                                "Invalid serial number obtained from argument [%s]", text);
                failed = true;
            }
            break;
        }
        case OPT_ROUTER: {
            const char* text = stripHexPrefix(value, "Discarding '0x' router serial number prefix\n");
            if (!parseSerial(text, params->routerSerialNumber)) {
                params->routerSerialNumber = 0;
                display.message(UpdaterDisplayInterface::MSG_ERROR,
                                "Invalid router serial number obtained from argument [%s]", text);
                failed = true;
            }
            break;
        }
        case OPT_BUILD: params->buildNumber = std::to_string(_get_int_arg(value, &end)); break;
        case OPT_BAUD: params->baudRate = _get_int_arg(value, &end); break;
        case OPT_TRANSPORT:
            params->transportGiven = true;
            params->transport = parseTransport(value);
            if (params->transport == INVALID) {
                display.message(UpdaterDisplayInterface::MSG_ERROR,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                                value);
                failed = true;
            }
            break;
        case OPT_LOG_MASK: {
            params->extendedUsage = true;
            const char* rest = parseLogMask(value, params->logMask);
            if (rest != nullptr)
                display.message(UpdaterDisplayInterface::MSG_ERROR,
                                "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", rest);
            else
                Log::ActivatePackage(params->logMask);
            break;
        }
        case OPT_UEI_BYTES: params->useUEIBytes = value[0] == '1' || strncmp(value, "true", 4) == 0; break;
        case OPT_Z: params->commands.Set(CMD_Z); break;
        case OPT_FLAG_N: params->flagN = true; break;
        case OPT_ECHO: params->echo = true; break;
        case OPT_BIRD_FILE: params->birdFile = value; break;
        case OPT_STORAGE: params->storageDirectory = value; break;
        case OPT_LOG_FILE: params->logFileName = value; break;
        case OPT_HISTORY: params->historyMessage = value; break;
        case OPT_SERIAL_PORT: params->serialPort = value; break;
        case OPT_SERVER_URL: params->serverUrl = value; break;
        default: break;
        }
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->programName.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");

    return failed ? 1 : _validate_params(params);
}
