// BIRD loading cost: time and peak memory of BirdFile::Load for 8 MiB of
// firmware images (random and compressible), against zlib's own uncompress
// of the same payload. Peak memory is measured in a fresh child process
// (this program re-run with --child) so the parent's buffers do not count.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BirdFile.h"

extern char** environ;

namespace {

constexpr size_t kImageTotal = 8u << 20;
constexpr int kBlocks = 4;
constexpr int kRuns = 7;

void putU32(std::vector<unsigned char>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

std::vector<unsigned char> makeImages(bool compressible) {
    std::vector<unsigned char> img(kImageTotal);
    std::mt19937 rng(42);
    if (!compressible) {
        for (auto& b : img) b = uint8_t(rng());
    } else {
        // Code-like bytes: a small alphabet with short repeats, about 3:1.
        for (size_t i = 0; i < img.size();) {
            uint8_t b = uint8_t(rng() % 24);
            size_t run = 1 + rng() % 3;
            for (size_t k = 0; k < run && i < img.size(); ++k) img[i++] = b;
        }
    }
    return img;
}

// Payload: firmware blocks holding the images, an identity block, checksum.
std::vector<unsigned char> makePayload(const std::vector<unsigned char>& images) {
    std::vector<unsigned char> p;
    p.reserve(images.size() + 1024);
    putU32(p, kBlocks + 1);
    const size_t per = images.size() / kBlocks;
    for (int i = 0; i < kBlocks; ++i) {
        p.push_back(BirdFile::BLOCK_FIRMWARE);
        putU32(p, uint32_t(per + 4));
        putU32(p, uint32_t(0x60000000u + i * per));
        p.insert(p.end(), images.begin() + long(i * per), images.begin() + long((i + 1) * per));
    }
    p.push_back(BirdFile::BLOCK_IDENTITY);
    putU32(p, 64);
    const char* id = "1234            2.12.0          40F5849A        MODEL-X         ";
    p.insert(p.end(), id, id + 64);
    putU32(p, 0);
    return p;
}

std::vector<unsigned char> compressPayload(const std::vector<unsigned char>& payload) {
    uLongf len = compressBound(uLong(payload.size()));
    std::vector<unsigned char> out(len);
    if (compress2(out.data(), &len, payload.data(), uLong(payload.size()), Z_DEFAULT_COMPRESSION) != Z_OK) std::abort();
    out.resize(len);
    return out;
}

long peakKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Child: load (or uncompress) once, print the peak growth in KiB.
int child(const char* what, const char* path, size_t payloadSize) {
    long before = peakKiB();
    if (std::strcmp(what, "load") == 0) {
        BirdFile file;
        file.path = path;
        if (!file.Load()) return 2;
    } else {
        std::ifstream in(path, std::ios::binary);
        std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), {});
        std::vector<unsigned char> out(payloadSize);
        uLongf len = uLongf(out.size());
        if (uncompress(out.data(), &len, data.data() + 6, uLong(data.size() - 6)) != Z_OK) return 2;
    }
    std::printf("%ld\n", peakKiB() - before);
    return 0;
}

long childPeak(const char* self, const char* what, const std::string& path, size_t payloadSize) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::string size = std::to_string(payloadSize);
    const char* argv[] = {self, "--child", what, path.c_str(), size.c_str(), nullptr};
    pid_t pid;
    int rc = posix_spawn(&pid, self, &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return -1;
    }
    char buf[64] = {};
    ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return (n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? std::atol(buf) : -1;
}

void run(const char* self, const char* label, bool compressible) {
    std::vector<unsigned char> payload = makePayload(makeImages(compressible));
    std::vector<unsigned char> packed = compressPayload(payload);
    std::string path = "/tmp/bird_bench." + std::to_string(::getpid()) + ".bird";
    {
        std::ofstream out(path, std::ios::binary);
        out.write("bird\x01\x01", 6);
        out.write(reinterpret_cast<const char*>(packed.data()), std::streamsize(packed.size()));
    }

    std::vector<double> load, unz, full;
    std::vector<unsigned char> out(payload.size());
    for (int r = 0; r < kRuns; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        BirdFile file;
        file.path = path;
        bool ok = file.Load();
        auto t1 = std::chrono::steady_clock::now();
        if (!ok || file.payloadSize != payload.size()) {
            std::printf("%s: load FAILED\n", label);
            std::remove(path.c_str());
            return;
        }
        load.push_back(seconds(t0, t1));

        uLongf len = uLongf(out.size());
        t0 = std::chrono::steady_clock::now();
        int zr = uncompress(out.data(), &len, packed.data(), uLong(packed.size()));
        t1 = std::chrono::steady_clock::now();
        if (zr != Z_OK) std::abort();
        unz.push_back(seconds(t0, t1));

        // The least any loader does: read the file, inflate into fresh memory.
        t0 = std::chrono::steady_clock::now();
        {
            std::ifstream in(path, std::ios::binary);
            auto raw = std::make_unique_for_overwrite<unsigned char[]>(packed.size() + 6);
            in.read(reinterpret_cast<char*>(raw.get()), std::streamsize(packed.size() + 6));
            auto fresh = std::make_unique_for_overwrite<unsigned char[]>(payload.size());
            len = uLongf(payload.size());
            if (uncompress(fresh.get(), &len, raw.get() + 6, uLong(packed.size())) != Z_OK) std::abort();
        }
        t1 = std::chrono::steady_clock::now();
        full.push_back(seconds(t0, t1));
    }
    std::sort(load.begin(), load.end());
    std::sort(unz.begin(), unz.end());
    std::sort(full.begin(), full.end());
    const double mib = double(payload.size()) / (1 << 20);
    const long peakLoad = childPeak(self, "load", path, payload.size());
    const long peakUnz = childPeak(self, "uncompress", path, payload.size());
    std::remove(path.c_str());

    std::printf("%s: payload %.2f MiB, file %.2f MiB (compression %.2f:1)\n", label, mib,
                double(packed.size() + 6) / (1 << 20), double(payload.size()) / double(packed.size()));
    std::printf("  BirdFile::Load   median %7.2f ms  (%6.1f MiB/s)\n", load[kRuns / 2] * 1e3, mib / load[kRuns / 2]);
    std::printf("  zlib uncompress  median %7.2f ms  (%6.1f MiB/s)\n", unz[kRuns / 2] * 1e3, mib / unz[kRuns / 2]);
    std::printf("  read + uncompress into fresh memory  median %7.2f ms\n", full[kRuns / 2] * 1e3);
    std::printf("  load / uncompress time ratio %.2f (target < 2); load / (read + fresh uncompress) %.2f\n",
                load[kRuns / 2] / unz[kRuns / 2], load[kRuns / 2] / full[kRuns / 2]);
    std::printf("  peak memory growth: load %.2f MiB = %.2fx payload (target < 3x); uncompress %.2f MiB\n",
                double(peakLoad) / 1024, double(peakLoad) / 1024 / mib, double(peakUnz) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return child(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = 0;
    run(self, "random images", false);
    run(self, "compressible images", true);
    return 0;
}
