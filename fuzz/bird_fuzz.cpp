// BIRD loading from arbitrary bytes: the first byte picks whether the rest is
// a whole file (through zlib, or through Load from disk) or an already
// inflated payload, so the block scan sees hostile framing directly.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "BirdFile.h"
#include "Log.h"

namespace {

void exercise(BirdFile& file) {
    file.FindSerialNumberOffsets();
    (void)file.GetBuild();
    (void)file.GetSerialNumber();
    (void)file.GetVersion();
    (void)file.ValidateModel("");
    (void)file.ValidateModel("MODEL-NAME-LONGER-THAN-SIXTEEN");
    file.ReplaceSerialNumber(0x1234ABCD);
    const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    file.DecodeFirmwareBlocks(key);
    file.ReplaceVectorChecksum();
    unsigned char pattern[3] = {0, 0, 0};
    file.ValidateData(pattern, sizeof pattern);
    for (const BirdBlock& b : file.blocks) {
        if (b.data < file.payload.get() || b.data + b.length > file.payload.get() + file.payloadSize)
            __builtin_trap();
    }
}

const std::string& tempPath() {
    static const std::string path = "/tmp/bird_fuzz." + std::to_string(::getpid()) + ".bird";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool init = [] {
        Log::SetOutput(std::fopen("/dev/null", "w"));
        Log::ActivatePackage(0x0000000C);
        std::atexit([] { std::remove(tempPath().c_str()); });
        return true;
    }();
    (void)init;
    if (size < 1) return 0;
    const uint8_t mode = data[0] % 3;
    ++data;
    --size;

    BirdFile file;
    if (mode == 0) {
        // Exact-size copy so any read past the payload is caught.
        file.payload = BirdFile::AllocatePayload(size);
        if (size) std::memcpy(file.payload.get(), data, size);
        file.payloadSize = uint32_t(size);
        file.ScanBlocks(file.payload.get(), file.payloadSize);
    } else if (mode == 1) {
        if (!file.DecompressData(data, size)) return 0;
        file.ScanBlocks(file.payload.get(), file.payloadSize);
    } else {
        FILE* f = std::fopen(tempPath().c_str(), "wb");
        if (!f) return 0;
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        (void)BirdFile::VerifyFile(tempPath().c_str());
        file.path = tempPath();
        if (!file.Load()) return 0;
    }
    exercise(file);
    BirdFile moved(std::move(file));
    exercise(moved);
    return 0;
}
