// Packet-log writer: a thread that drains a link's packet debug log into a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "aError.h"
#include "aFile.h"

typedef void (*aLoggerProc)(aFile* file, uint32_t linkId);

#define aLOGGER_CHECK 0xDEED

struct aLogger {
    uint32_t linkId;
    aLoggerProc callback;  // called again and again by the thread while running
    aFile* file;           // opened for appending, unbuffered
    std::thread thread;
    std::atomic<bool> running;
    uint16_t check;
};

bool aVALIDLOGGER(const aLogger* logger);

// Null (nothing kept) when the file cannot be opened.
aLogger* aLogger_Create(uint32_t linkId, aLoggerProc callback, const char* path);
aErr aLogger_Enable(aLogger* logger);
aErr aLogger_Disable(aLogger* logger);
// Frees the record only when it could be stopped; returns the stop result.
aErr aLogger_Destroy(aLogger** logger);
