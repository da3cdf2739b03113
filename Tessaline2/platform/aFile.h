// Files over the standard library, with open modes and a validity marker.
#ifndef TESSALINE_AFILE_H
#define TESSALINE_AFILE_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aFILE_MODE_READ 0u   // "rb"
#define aFILE_MODE_WRITE 1u  // "wb", truncating
#define aFILE_MODE_APPEND 2u // "ab+", positioned at the end; may also be read
#define aFILE_MAX_PATH 4096

#define aFILE_SEEK_START 0u
#define aFILE_SEEK_CURRENT 1u
#define aFILE_SEEK_END 2u

typedef struct aFile aFile;

// Null for a null or empty path, a path above aFILE_MAX_PATH characters, an unknown mode or a
// failed open.
aFile* aFile_Open(const char* path, uint32_t mode);
aErr aFile_Close(aFile** file);

// Modes read and append. aErrEOF when nothing was read although length > 0.
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
// Modes write and append. aErrIO when nothing was written although length > 0.
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);
// The target must lie within 0 and the file size inclusive, else aErrRange.
aErr aFile_Seek(aFile* file, long offset, uint32_t origin);
aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_GetPosition(aFile* file, size_t* position);
// Reads one line including its newline. aErrOverrun when the line does not fit (the start of it
// stays in the buffer); aErrEOF at the end of the file.
aErr aFile_ReadLine(aFile* file, char* line, size_t size, size_t* length);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_SetUnbuffered(aFile* file);

// True when the path exists and is not a directory.
bool aFile_Exists(const char* path);
aErr aFile_Delete(const char* path);

#endif
