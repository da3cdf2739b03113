// Library-wide result codes and their texts.
#ifndef TESSALINE_AERROR_H
#define TESSALINE_AERROR_H

#include <cstdint>

// Unsigned 32-bit result code: 0 is success, every other value a failure.
typedef enum aErr : uint32_t {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34,
} aErr;

// Number of entries in each text table (codes 0..aErrUnknown).
#define aERR_COUNT 35

extern const char* const ERROR_TEXT[aERR_COUNT];
extern const char* const ERROR_DESCRIPTION[aERR_COUNT];

// The code's name ("aErrTimeout"); codes above aErrUnknown give "aErrUnknown".
const char* aError_GetErrorText(aErr code);

// The code's description ("Timeout occurred"); codes above aErrUnknown give "Unknown error".
const char* aError_GetErrorDescription(aErr code);

#endif
