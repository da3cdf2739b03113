// Helpers for tests that need BIRD files and scratch directories.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Log.h"

namespace birdtest {

namespace fs = std::filesystem;

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "birdstore-XXXXXX").string();
        if (!::mkdtemp(templ.data())) std::abort();
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs tests/sim/birdgen.py with `args` (bounded by a time limit); returns
// its exit status and its standard output in *out.
inline int RunBirdgen(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string cmd = "timeout 60 /usr/bin/python3 " + quote(std::string(TESSALINE_SOURCE_DIR) + "/tests/sim/birdgen.py");
    for (const auto& a : args) cmd += " " + quote(a);
    cmd += " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = ::pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline std::string ReadText(const std::string& path) {
    auto bytes = ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void WriteAll(const std::string& path, const std::vector<unsigned char>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// Deterministic, non-repeating test bytes.
inline std::vector<unsigned char> Bytes(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return v;
}

// Limits the size of files this process may write (writes past it fail with
// EFBIG, like a full disk) for the lifetime of the object.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

// Names in `dir` (dot files included), sorted.
inline std::vector<std::string> ListNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Collects what Log::log writes under the given topics.
class LogCapture {
public:
    explicit LogCapture(unsigned topics) : file_(std::tmpfile()), topics_(topics) {
        Log::SetOutput(file_);
        Log::ActivatePackage(topics_);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(topics_);
        if (file_) std::fclose(file_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text() {
        if (!file_) return {};
        std::fflush(file_);
        std::rewind(file_);
        std::string t;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) t.append(buf, n);
        std::fseek(file_, 0, SEEK_END);
        return t;
    }

private:
    FILE* file_;
    unsigned topics_;
};

}  // namespace birdtest
