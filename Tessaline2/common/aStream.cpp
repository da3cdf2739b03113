#include "aStream.h"

#include <cstdlib>
#include <cstring>

#include "aFile.h"

namespace {

// Reads up to this size use stack scratch; the link engine reads a byte or a few at a time.
constexpr size_t kLocalScratch = 64;

bool sValid(const aStream* stream)
{
    return stream != nullptr && stream->check == aSTREAM_CHECK;
}

// Makes room for count more bytes, keeping one slot free so head == tail only when empty.
aErr sRingReserve(aStream* stream, size_t count)
{
    size_t needed = 0;
    if (__builtin_add_overflow(stream->bufferedCount, count, &needed) ||
        __builtin_add_overflow(needed, size_t{1}, &needed))
        return aErrMemory;
    if (stream->buffer != nullptr && needed <= stream->bufferSize)
        return aErrNone;
    size_t newSize = stream->buffer == nullptr ? aSTREAM_RING_STEP : stream->bufferSize;
    while (newSize < needed) {
        if (__builtin_add_overflow(newSize, size_t{aSTREAM_RING_STEP}, &newSize))
            return aErrMemory;
    }
    uint8_t* grown = static_cast<uint8_t*>(malloc(newSize));
    if (grown == nullptr)
        return aErrMemory;
    // Oldest byte first, so the waiting bytes keep their order.
    for (size_t i = 0; i < stream->bufferedCount; ++i)
        grown[i] = stream->buffer[(stream->bufferHead + i) % stream->bufferSize];
    free(stream->buffer);
    stream->buffer = grown;
    stream->bufferSize = newSize;
    stream->bufferHead = 0;
    stream->bufferTail = stream->bufferedCount;
    return aErrNone;
}

// Gives bytes back: all of them or, when memory runs out, none.
aErr sRingGiveBack(aStream* stream, const uint8_t* data, size_t count)
{
    if (count == 0)
        return aErrNone;
    const aErr reserved = sRingReserve(stream, count);
    if (reserved != aErrNone)
        return reserved;
    for (size_t i = 0; i < count; ++i) {
        stream->buffer[stream->bufferTail] = data[i];
        stream->bufferTail = (stream->bufferTail + 1) % stream->bufferSize;
    }
    stream->bufferedCount += count;
    return aErrNone;
}

bool sRingTake(aStream* stream, uint8_t* out)
{
    if (stream->bufferedCount == 0)
        return false;
    *out = stream->buffer[stream->bufferHead];
    stream->bufferHead = (stream->bufferHead + 1) % stream->bufferSize;
    --stream->bufferedCount;
    return true;
}

} // namespace

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc, aStreamWriteProc writeProc,
                        aStreamDeleteProc deleteProc, void* procRef)
{
    aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (stream == nullptr)
        return nullptr;
    stream->getProc = getProc;
    stream->putProc = putProc;
    stream->writeProc = writeProc;
    stream->deleteProc = deleteProc;
    stream->procRef = procRef;
    stream->check = aSTREAM_CHECK;
    return stream;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size)
{
    if (!sValid(stream) || buffer == nullptr)
        return aErrParam;
    if (stream->getProc == nullptr)
        return aErrMode;
    if (size == 0)
        return aErrNone;

    uint8_t local[kLocalScratch];
    uint8_t* scratch = size <= kLocalScratch ? local : static_cast<uint8_t*>(malloc(size));
    if (scratch == nullptr)
        return aErrResource;

    size_t got = 0;
    aErr result = aErrNone;
    while (got < size) {
        if (sRingTake(stream, &scratch[got])) {
            ++got;
            continue;
        }
        result = stream->getProc(&scratch[got], stream->procRef);
        if (result != aErrNone)
            break;
        ++got;
    }

    if (result == aErrNone) {
        memcpy(buffer, scratch, size);
    } else if (result == aErrNotReady) {
        // The ring was empty before the transport was asked, so this keeps the order.
        const aErr kept = sRingGiveBack(stream, scratch, got);
        if (kept != aErrNone)
            result = kept;
    } else if (result == aErrEOF) {
        memcpy(buffer, scratch, got);
    }
    if (scratch != local)
        free(scratch);
    return result;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length)
{
    if (!sValid(stream) || data == nullptr)
        return aErrParam;
    if (stream->putProc == nullptr && stream->writeProc == nullptr)
        return aErrMode;
    if (length == 0)
        return aErrNone;
    if (stream->writeProc != nullptr && (length > 1 || stream->putProc == nullptr))
        return stream->writeProc(data, length, stream->procRef);
    for (size_t i = 0; i < length; ++i) {
        const aErr result = stream->putProc(&data[i], stream->procRef);
        if (result != aErrNone)
            return result;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* record, size_t* length, size_t maxSize,
                        const uint8_t* separator, size_t separatorLength)
{
    if (!sValid(stream) || record == nullptr || separator == nullptr || separatorLength == 0 ||
        maxSize == 0)
        return aErrParam;
    if (stream->getProc == nullptr)
        return aErrMode;

    // Every byte taken either is stored or advances the separator position, so at most
    // maxSize + separatorLength bytes are taken; all of them go back on aErrNotReady.
    size_t takenSize = 0;
    size_t blockSize = 0;
    if (__builtin_add_overflow(maxSize, separatorLength, &takenSize) ||
        __builtin_add_overflow(takenSize, maxSize, &blockSize))
        return aErrResource;
    uint8_t* block = static_cast<uint8_t*>(malloc(blockSize));
    if (block == nullptr)
        return aErrResource;
    uint8_t* stored = block;
    uint8_t* taken = block + maxSize;

    size_t storedCount = 0;
    size_t takenCount = 0;
    size_t position = 0;
    aErr result = aErrNone;
    while (true) {
        uint8_t byte = 0;
        result = aStream_Read(stream, &byte, 1);
        if (result != aErrNone)
            break;
        taken[takenCount++] = byte;
        if (byte == separator[position]) {
            if (++position == separatorLength)
                break;
        } else {
            stored[storedCount++] = byte;
            if (storedCount == maxSize)
                break;
        }
    }

    if (result == aErrNotReady) {
        const aErr kept = sRingGiveBack(stream, taken, takenCount);
        if (kept != aErrNone)
            result = kept;
    } else if (result == aErrEOF && storedCount > 0) {
        result = aErrNone;
    }
    if (result == aErrNone) {
        memcpy(record, stored, storedCount);
        if (length != nullptr)
            *length = storedCount;
    }
    free(block);
    return result;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t length,
                         const uint8_t* separator, size_t separatorLength)
{
    if (!sValid(stream) || record == nullptr || separator == nullptr || separatorLength == 0)
        return aErrParam;
    const aErr result = aStream_Write(stream, record, length);
    if (result != aErrNone)
        return result;
    return aStream_Write(stream, separator, separatorLength);
}

static aErr sReadText(aStream* stream, char* text, size_t size, const uint8_t* separator,
                      size_t separatorLength)
{
    if (text == nullptr || size < 2)
        return aErrParam;
    size_t length = 0;
    const aErr result = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(text), &length,
                                           size - 1, separator, separatorLength);
    if (result == aErrNone)
        text[length] = '\0';
    return result;
}

aErr aStream_ReadCString(aStream* stream, char* text, size_t size)
{
    const uint8_t zero = 0;
    return sReadText(stream, text, size, &zero, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (text == nullptr)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* text, size_t size, const char* separator)
{
    if (separator == nullptr)
        return aErrParam;
    return sReadText(stream, text, size, reinterpret_cast<const uint8_t*>(separator),
                     strlen(separator));
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* separator)
{
    if (text == nullptr || separator == nullptr)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(separator), strlen(separator) + 1);
}

aErr aStream_Flush(aStream* from, aStream* to)
{
    if (!sValid(from) || !sValid(to))
        return aErrParam;
    if (from->getProc == nullptr || (to->putProc == nullptr && to->writeProc == nullptr))
        return aErrMode;
    while (true) {
        uint8_t byte = 0;
        const aErr got = from->getProc(&byte, from->procRef);
        if (got == aErrEOF)
            return aErrNone;
        if (got != aErrNone)
            return got;
        const aErr put = aStream_Write(to, &byte, 1);
        if (put != aErrNone)
            return put;
    }
}

aErr aStream_Destroy(aStream** stream)
{
    if (stream == nullptr)
        return aErrParam;
    aStream* record = *stream;
    *stream = nullptr;
    if (!sValid(record))
        return aErrParam;
    const aErr result =
        record->deleteProc != nullptr ? record->deleteProc(record->procRef) : aErrNone;
    free(record->buffer);
    record->check = 0;
    free(record);
    return result;
}

// File streams: procRef is the open aFile.

static aErr sFileGet(uint8_t* out, void* ref)
{
    return aFile_Read(static_cast<aFile*>(ref), out, 1, nullptr);
}

static aErr sFilePut(const uint8_t* byte, void* ref)
{
    return aFile_Write(static_cast<aFile*>(ref), byte, 1, nullptr);
}

static aErr sFileWrite(const uint8_t* data, size_t length, void* ref)
{
    size_t written = 0;
    const aErr result = aFile_Write(static_cast<aFile*>(ref), data, length, &written);
    if (result != aErrNone)
        return result;
    return written == length ? aErrNone : aErrIO;
}

static aErr sFileDelete(void* ref)
{
    aFile* file = static_cast<aFile*>(ref);
    return aFile_Close(&file);
}

static aErr sCreateFileStream(const char* path, aStream** stream, bool output)
{
    if (path == nullptr || stream == nullptr)
        return aErrResource;
    aFile* file = aFile_Open(path, output ? aFILE_MODE_WRITE : aFILE_MODE_READ);
    if (file == nullptr)
        return aErrResource;
    aStream* made = output ? aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file)
                           : aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
    if (made == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream)
{
    return sCreateFileStream(path, stream, false);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream)
{
    return sCreateFileStream(path, stream, true);
}
