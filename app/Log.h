// Process-wide debug log, filtered by topic bits ("-X" mask).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

// Log topics. 0x10 and 0x100 both print as "DEBUG_Network" in the usage text;
// 0x100 is the one the engine logs under, so it keeps the plain name.
enum LogTopic : uint32_t {
    DEBUG_Always = 0x00000000,
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    Log() = default;
    ~Log() = default;

    // Writes the formatted text (no newline or prefix added) when `package`
    // is 0 or shares a bit with the active mask. Safe from any thread once
    // the mask and output are set.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream);
    static void ActivatePackage(unsigned bits);
    static void DeactivatePackage(unsigned bits);

    static bool IsActive(unsigned package);
    static uint32_t GetMask();

private:
    // Atomic so that a worker thread logging while a test changes the mask
    // is not a data race.
    static std::atomic<uint32_t> package_bitmask;
    static std::atomic<FILE*> fh;
};
