// Directory and path services.
#ifndef TESSALINE_ADIRECTORY_H
#define TESSALINE_ADIRECTORY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "aError.h"

#define aDIR_PATH_SEP "/"
// Longest path aDirectory_List builds for one entry, terminating zero included.
#define aDIR_LIST_PATH_SIZE 2048
// Most components aDirectory_BuildPath accepts after the first.
#define aDIR_MAX_EXTRA_COMPONENTS 9

typedef struct aDirectoryListData {
    const char* path;     // listed directory, "/", entry name
    uint32_t size;        // entry size in bytes, cut to 32 bits
    uint32_t isDirectory; // non-zero for a directory
} aDirectoryListData;

// Return true to continue the listing, false to stop it.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* context);

// first, then "/" and each further argument, up to a terminating null pointer. The separator is
// added unconditionally ("a/" and "b" give "a//b").
std::string BuildPath(const char* first, ...) __attribute__((sentinel));

bool aDirectory_Exists(const char* path);
// Creates every missing directory along path with mode; aErrNone when it exists. aErrPermission
// for any failure, including a path that exists but is not a directory.
aErr aDirectory_Ensure(const char* path, uint32_t mode);
// Calls callback for every entry ("." and ".." included) whose joined path fits and can be
// examined. aErrNotFound when the directory cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);
// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);
// Removes a directory and everything below it; symbolic links are removed, never followed.
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
// Home directory from the user database, else from HOME. aErrNotFound when neither is there,
// aErrOverrun when it does not fit.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins first and up to nine more components (ended by a null pointer), adding "/" only where
// neither side has one. aErrParam for a null buffer, a component inside the buffer or too many
// components; aErrOverrun when the result does not fit.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
    __attribute__((sentinel));

// Last occurrence of pattern in text (text itself for an empty pattern), or null.
const char* backwards_memcmp(const char* text, const char* pattern);

#endif
