// Byte streams: a record of transport procedures plus a look-ahead ring for bytes given back.
//
// Procedure results, relied on by every reader:
//   aErrNone     a byte (or block) moved
//   aErrNotReady no byte available yet; try again (a get procedure should wait briefly,
//                e.g. poll for a few milliseconds, before answering this, so readers never spin)
//   aErrEOF      the source has ended
//   other        the transport failed
//
// A stream is not locked: one reader thread and one writer thread may use it at once when the
// transport's get and put procedures are independent. The ring is touched only by readers.
#ifndef TESSALINE_ASTREAM_H
#define TESSALINE_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* out, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

#define aSTREAM_CHECK 0x4321
// The ring starts at, and grows by, this many bytes.
#define aSTREAM_RING_STEP 512

typedef struct aStream {
    aStreamGetProc getProc;       // null: cannot be read
    aStreamPutProc putProc;       // null: cannot be written byte by byte
    aStreamWriteProc writeProc;   // may be null
    aStreamDeleteProc deleteProc; // may be null
    void* procRef;                // the transport's record, passed to every procedure
    uint8_t* buffer;              // look-ahead ring, created when the first byte is given back
    size_t bufferedCount;
    size_t bufferSize;
    size_t bufferHead;            // next byte to hand out
    size_t bufferTail;            // where the next given-back byte goes
    uint16_t check;
} aStream;

// New stream with an empty ring; null when memory runs out.
aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* procRef);

// Reads exactly size bytes. aErrNotReady leaves the buffer untouched and keeps every byte taken
// for the next read; aErrEOF copies the bytes that did arrive; other failures drop them.
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size);

// Block writes go through writeProc when there is one and length > 1, else byte by byte.
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length);

// Reads bytes up to the separator (not stored) or until maxSize bytes are stored.
// aErrNotReady keeps every byte taken (separator bytes included) for the next call.
aErr aStream_ReadRecord(aStream* stream, uint8_t* record, size_t* length, size_t maxSize,
                        const uint8_t* separator, size_t separatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t length,
                         const uint8_t* separator, size_t separatorLength);

// Reads up to a zero byte, at most size - 1 characters, and terminates the text.
aErr aStream_ReadCString(aStream* stream, char* text, size_t size);
// Writes the text and its terminating zero.
aErr aStream_WriteCString(aStream* stream, const char* text);
// Reads up to the separator text, at most size - 1 characters, and terminates the text.
aErr aStream_ReadCStringRecord(aStream* stream, char* text, size_t size, const char* separator);
// Writes the text without its zero, then the separator with its zero.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator);

// Copies bytes from one stream's getProc to another's putProc until from reports aErrEOF
// (aErrNone) or any other result (returned as is), or a put fails.
aErr aStream_Flush(aStream* from, aStream* to);

// Calls deleteProc and returns its result, frees the stream and sets *stream to null.
aErr aStream_Destroy(aStream** stream);

// Streams over files: input is get only; output has put and write. aErrResource when an argument
// is null, the file cannot be opened or memory runs out (*stream is then untouched).
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

#endif
