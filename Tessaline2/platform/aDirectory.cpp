#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string BuildPath(const char* first, ...)
{
    std::string path = first == nullptr ? "" : first;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part != nullptr;
         part = va_arg(args, const char*)) {
        path += aDIR_PATH_SEP;
        path += part;
    }
    va_end(args);
    return path;
}

bool aDirectory_Exists(const char* path)
{
    struct stat info;
    return path != nullptr && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static bool sMakeDirectory(const std::string& path, uint32_t mode)
{
    return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, uint32_t mode)
{
    if (path == nullptr || path[0] == '\0')
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    const std::string full = path;

    // Walk back to the longest prefix that already is a directory ("/" or nothing counts).
    size_t start = full.size();
    while (true) {
        const size_t cut = full.rfind('/', start == 0 ? 0 : start - 1);
        if (cut == std::string::npos || start == 0) {
            start = 0;
            break;
        }
        start = cut;
        if (cut == 0 || aDirectory_Exists(full.substr(0, cut).c_str()))
            break;
    }

    // Create each missing component after it, skipping empty ones from doubled separators.
    for (size_t next = full.find('/', start + 1); next != std::string::npos;
         next = full.find('/', next + 1)) {
        if (full[next - 1] == '/')
            continue;
        if (!sMakeDirectory(full.substr(0, next), mode))
            return aErrPermission;
    }
    if (!sMakeDirectory(full, mode))
        return aErrPermission;
    // "Already exists" can also mean a file of that name: not a success.
    return aDirectory_Exists(path) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context)
{
    if (path == nullptr || callback == nullptr)
        return aErrParam;
    DIR* directory = opendir(path);
    if (directory == nullptr)
        return aErrNotFound;
    char entryPath[aDIR_LIST_PATH_SIZE];
    for (struct dirent* entry = readdir(directory); entry != nullptr;
         entry = readdir(directory)) {
        const int needed = snprintf(entryPath, sizeof entryPath, "%s%s%s", path, aDIR_PATH_SEP,
                                    entry->d_name);
        // A cut path would name some other file.
        if (needed < 0 || static_cast<size_t>(needed) >= sizeof entryPath)
            continue;
        struct stat info;
        if (stat(entryPath, &info) != 0)
            continue;
        aDirectoryListData data;
        data.path = entryPath;
        data.size = static_cast<uint32_t>(info.st_size);
        data.isDirectory = S_ISDIR(info.st_mode) ? 1u : 0u;
        if (!callback(&data, context))
            break;
    }
    closedir(directory);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

// False when a file below could not be removed; the walk then stops.
static bool sDeleteContents(const std::string& path)
{
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr)
        return false;
    std::vector<std::string> names;
    for (struct dirent* entry = readdir(directory); entry != nullptr;
         entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(directory);
    for (const std::string& name : names) {
        const std::string child = path + aDIR_PATH_SEP + name;
        struct stat info;
        if (lstat(child.c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            if (!sDeleteContents(child) || rmdir(child.c_str()) != 0)
                return false;
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            fprintf(stderr, "---error unlink-ing file [%s]\n", child.c_str());
            return false;
        }
    }
    return true;
}

aErr aDirectory_DeleteTree(const char* path)
{
    if (path == nullptr)
        return aErrParam;
    struct stat info;
    if (lstat(path, &info) != 0 || !S_ISDIR(info.st_mode))
        return aErrNotFound;
    DIR* probe = opendir(path);
    if (probe == nullptr)
        return aErrNotFound;
    closedir(probe);
    // A failure below leaves the directory non-empty, so removing it reports the failure.
    sDeleteContents(path);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    const ssize_t got = readlink("/proc/self/exe", buffer, size - 1);
    if (got < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[got] = '\0';
    return aErrNone;
}

static aErr sCopyOut(const char* text, char* buffer, size_t size)
{
    const size_t length = strlen(text);
    if (length + 1 > size)
        return aErrOverrun;
    memcpy(buffer, text, length + 1);
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return aErrParam;
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 16384u);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0')
        return sCopyOut(found->pw_dir, buffer, size);
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return sCopyOut(home, buffer, size);
    return aErrNotFound;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second)
{
    return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

static bool sInside(const char* part, const char* buffer, size_t size)
{
    const uintptr_t p = reinterpret_cast<uintptr_t>(part);
    const uintptr_t b = reinterpret_cast<uintptr_t>(buffer);
    return p >= b && p - b < (size == 0 ? 1 : size);
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...)
{
    if (buffer == nullptr || first == nullptr)
        return aErrParam;
    const char* parts[aDIR_MAX_EXTRA_COMPONENTS + 1];
    size_t count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    bool tooMany = false;
    for (const char* part = va_arg(args, const char*); part != nullptr;
         part = va_arg(args, const char*)) {
        if (count == aDIR_MAX_EXTRA_COMPONENTS + 1) {
            tooMany = true;
            break;
        }
        parts[count++] = part;
    }
    va_end(args);
    if (tooMany)
        return aErrParam;
    // The result is written in place, so no component may live in the buffer.
    for (size_t i = 0; i < count; ++i) {
        if (sInside(parts[i], buffer, size))
            return aErrParam;
    }

    std::string path = parts[0];
    for (size_t i = 1; i < count; ++i) {
        const bool needSeparator =
            !path.empty() && path.back() != '/' && parts[i][0] != '/';
        if (needSeparator)
            path += aDIR_PATH_SEP;
        path += parts[i];
    }
    if (path.size() + 1 > size)
        return aErrOverrun;
    memcpy(buffer, path.c_str(), path.size() + 1);
    return aErrNone;
}

const char* backwards_memcmp(const char* text, const char* pattern)
{
    if (text == nullptr || pattern == nullptr)
        return nullptr;
    const size_t textLength = strlen(text);
    const size_t patternLength = strlen(pattern);
    if (patternLength == 0)
        return text;
    if (patternLength > textLength)
        return nullptr;
    for (size_t at = textLength - patternLength + 1; at-- > 0;) {
        if (memcmp(text + at, pattern, patternLength) == 0)
            return text + at;
    }
    return nullptr;
}
