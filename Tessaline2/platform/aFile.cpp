#include "aFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint16_t kFileCheck = 0xFEED;

// The C library needs a seek between a read and a write on the same stream (append mode).
enum class LastOp { None, Read, Write };

} // namespace

struct aFile {
    FILE* handle;
    uint32_t mode;
    LastOp lastOp;
    uint16_t check;
};

static bool sValid(const aFile* file)
{
    return file != nullptr && file->check == kFileCheck && file->handle != nullptr;
}

static bool sCanRead(const aFile* file)
{
    return file->mode == aFILE_MODE_READ || file->mode == aFILE_MODE_APPEND;
}

static bool sCanWrite(const aFile* file)
{
    return file->mode == aFILE_MODE_WRITE || file->mode == aFILE_MODE_APPEND;
}

static void sSwitchTo(aFile* file, LastOp op)
{
    if (file->lastOp != LastOp::None && file->lastOp != op)
        fseeko(file->handle, 0, SEEK_CUR);
    file->lastOp = op;
}

static bool sPathLengthOk(const char* path)
{
    return strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

aFile* aFile_Open(const char* path, uint32_t mode)
{
    if (path == nullptr || path[0] == '\0' || !sPathLengthOk(path))
        return nullptr;
    const char* how = nullptr;
    switch (mode) {
    case aFILE_MODE_READ: how = "rb"; break;
    case aFILE_MODE_WRITE: how = "wb"; break;
    case aFILE_MODE_APPEND: how = "ab+"; break;
    default: return nullptr;
    }
    aFile* file = new (std::nothrow) aFile;
    if (file == nullptr)
        return nullptr;
    file->handle = fopen(path, how);
    if (file->handle == nullptr) {
        delete file;
        return nullptr;
    }
    if (mode == aFILE_MODE_APPEND)
        fseeko(file->handle, 0, SEEK_END);
    file->mode = mode;
    file->lastOp = LastOp::None;
    file->check = kFileCheck;
    return file;
}

aErr aFile_Close(aFile** file)
{
    if (file == nullptr || !sValid(*file))
        return aErrParam;
    aFile* record = *file;
    const int closed = fclose(record->handle);
    record->handle = nullptr;
    record->check = 0;
    delete record;
    *file = nullptr;
    // Buffered data that could not be written shows up only here.
    return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count)
{
    if (!sValid(file) || (buffer == nullptr && length > 0))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sSwitchTo(file, LastOp::Read);
    const size_t got = length > 0 ? fread(buffer, 1, length, file->handle) : 0;
    if (count != nullptr)
        *count = got;
    if (got == 0 && length > 0)
        return ferror(file->handle) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count)
{
    if (!sValid(file) || (data == nullptr && length > 0))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sSwitchTo(file, LastOp::Write);
    const size_t put = length > 0 ? fwrite(data, 1, length, file->handle) : 0;
    if (count != nullptr)
        *count = put;
    if (put == 0 && length > 0)
        return aErrIO;
    return aErrNone;
}

static bool sSize(FILE* handle, off_t* size)
{
    const off_t position = ftello(handle);
    if (position < 0 || fseeko(handle, 0, SEEK_END) != 0)
        return false;
    *size = ftello(handle);
    const bool restored = fseeko(handle, position, SEEK_SET) == 0;
    return *size >= 0 && restored;
}

aErr aFile_Seek(aFile* file, long offset, uint32_t origin)
{
    if (!sValid(file))
        return aErrParam;
    off_t size = 0;
    if (!sSize(file->handle, &size))
        return aErrIO;
    off_t base = 0;
    switch (origin) {
    case aFILE_SEEK_START: base = 0; break;
    case aFILE_SEEK_CURRENT:
        base = ftello(file->handle);
        if (base < 0)
            return aErrIO;
        break;
    case aFILE_SEEK_END: base = size; break;
    default: return aErrParam;
    }
    off_t target = 0;
    if (__builtin_add_overflow(base, static_cast<off_t>(offset), &target) || target < 0 ||
        target > size)
        return aErrRange;
    if (fseeko(file->handle, target, SEEK_SET) != 0)
        return aErrIO;
    file->lastOp = LastOp::None;
    return aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size)
{
    if (!sValid(file) || size == nullptr)
        return aErrParam;
    off_t bytes = 0;
    if (!sSize(file->handle, &bytes)) {
        *size = 0;
        return aErrIO;
    }
    *size = static_cast<size_t>(bytes);
    return aErrNone;
}

aErr aFile_GetPosition(aFile* file, size_t* position)
{
    if (!sValid(file) || position == nullptr)
        return aErrParam;
    const off_t where = ftello(file->handle);
    if (where < 0)
        return aErrIO;
    *position = static_cast<size_t>(where);
    return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* line, size_t size, size_t* length)
{
    if (!sValid(file) || line == nullptr || size < 2 || size > INT32_MAX)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sSwitchTo(file, LastOp::Read);
    line[0] = '\0';
    if (length != nullptr)
        *length = 0;
    if (fgets(line, static_cast<int>(size), file->handle) == nullptr) {
        line[0] = '\0';
        return ferror(file->handle) ? aErrIO : aErrEOF;
    }
    const size_t got = strlen(line);
    if (length != nullptr)
        *length = got;
    if (got == size - 1 && line[got - 1] != '\n') {
        // A last line without newline that exactly fills the buffer is complete, not cut.
        const int next = fgetc(file->handle);
        if (next == EOF)
            return ferror(file->handle) ? aErrIO : aErrNone;
        ungetc(next, file->handle);
        return aErrOverrun;
    }
    return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...)
{
    if (!sValid(file) || format == nullptr)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sSwitchTo(file, LastOp::Write);
    va_list args;
    va_start(args, format);
    const int written = vfprintf(file->handle, format, args);
    va_end(args);
    return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    fflush(file->handle);
    return setvbuf(file->handle, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

bool aFile_Exists(const char* path)
{
    if (path == nullptr || !sPathLengthOk(path))
        return false;
    struct stat info;
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aErr aFile_Delete(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    if (!sPathLengthOk(path))
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
    }
}
