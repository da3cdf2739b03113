// Attribute-file parsing from arbitrary bytes: the line rules on their own,
// then a whole file through Load, Save and Load again.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KeyValueStore.h"
#include "Log.h"

namespace {

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void checkLine(const std::string& line) {
    std::string key, value;
    if (!KeyValueStore::ParseLine(line.c_str(), key, value)) return;
    if (key.empty() || blank(key.front()) || blank(key.back()) || key.find('=') != std::string::npos)
        __builtin_trap();
    if (!value.empty() && (blank(value.front()) || blank(value.back()))) __builtin_trap();
    if (key.size() + value.size() >= line.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool init = [] {
        Log::SetOutput(std::fopen("/dev/null", "w"));
        Log::ActivatePackage(0x00000004);
        return true;
    }();
    (void)init;
    // tmpfs keeps the fsync of each save cheap.
    static const std::string dir = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                   "/keyvalue_fuzz." + std::to_string(::getpid());
    static const bool made = [] {
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
        std::atexit([] {
            std::remove((dir + "/in").c_str());
            std::remove((dir + "/out").c_str());
            ::rmdir(dir.c_str());
        });
        return true;
    }();
    if (!made) return 0;

    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        checkLine(text.substr(start, end - start));
        start = end;
    }

    const std::string in = dir + "/in", out = dir + "/out";
    FILE* f = std::fopen(in.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    KeyValueStore store(in.c_str());
    (void)store.GetInt("A", 1);
    (void)store.GetHex("H", 2);
    (void)store.GetBOOL("B", true);
    (void)store.GetDouble("D", 3.0);
    store.Add("UPDATED_TIME", "x");
    store.Save(out.c_str());
    KeyValueStore back(out.c_str());
    // Every saved key that is not a comment must come back, up to the first
    // line too long to read.
    for (const auto& [k, v] : store.Entries()) {
        if (k.size() + v.size() + 2 > KeyValueStore::MAX_LINE - 1) break;
        if (k[0] == '#') continue;
        if (back[k.c_str()] == nullptr) __builtin_trap();
    }
    return 0;
}
