#include "aDefs.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

std::atomic<uint32_t> aTessalineDebuggingEnable{0};
std::atomic<uint32_t> aTessalineDebuggingLevel{0};

const char* aDefs_GetModelName(int model)
{
    switch (model) {
    case 4: return "TSPico";
    case 5: return "TSNano";
    case 13: return "TSRouter";
    case 14: return "TSHub8";
    case 15: return "TSAnalog8";
    case 16: return "TSDigital16";
    case 17: return "TSServo8";
    case 18: return "TSRelay4";
    case 19: return "TSThermo4";
    case 20: return "TSPower";
    case 21: return "TSMotor2";
    case 22: return "TSSerial4";
    case 23: return "TSSensor";
    case 24: return "TSCan2";
    case 25: return "TSEthernet";
    case 26: return "TSPump2";
    case 27: return "TSAudio";
    default: return "Unknown";
    }
}

bool aDebug_Enabled(uint32_t topic)
{
    return (aTessalineDebuggingEnable.load(std::memory_order_relaxed) & 1u) != 0 &&
           (aTessalineDebuggingLevel.load(std::memory_order_relaxed) & topic) != 0;
}

void aDebug_Printf(uint32_t topic, const char* format, ...)
{
    if (!aDebug_Enabled(topic) || format == nullptr)
        return;
    static std::mutex lineLock;
    std::lock_guard<std::mutex> guard(lineLock);
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}
