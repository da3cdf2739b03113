#include "AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace AtomicFile {

std::function<bool(const std::string&)> beforeRename;

namespace {

std::atomic<unsigned> sCounter{0};

bool writeAll(int fd, const unsigned char* p, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= size_t(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A leading dot keeps leftovers of a crash out of build listings.
std::string hiddenSibling(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base);
}

}  // namespace

Result Replace(const std::string& path, const void* data, size_t length, int* error) {
    int err = 0;
    std::string temp;
    int fd = -1;
    // O_EXCL on a fresh name instead of mkstemp, so the new file gets the
    // usual 0666 & ~umask mode like a plainly created one.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".tmp.%ld.%u", long(::getpid()), sCounter++);
        temp = hiddenSibling(path) + suffix;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        if (error) *error = errno;
        return Result::OpenFailed;
    }

    bool ok = writeAll(fd, static_cast<const unsigned char*>(data), length) && ::fsync(fd) == 0;
    if (!ok) err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && beforeRename && !beforeRename(temp)) {
        ok = false;
        err = EIO;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (error) *error = err;
        return Result::WriteFailed;
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return Result::Ok;
}

}  // namespace AtomicFile
