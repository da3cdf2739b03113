// A BIRD firmware file loaded into memory: its blocks, identity record and
// the in-memory edits made before transfer (serial number, deciphering).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of a loaded file. Copies are cheap: `data` points into the
// owning BirdFile's payload and stays valid while that file lives.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0;
    unsigned char* data = nullptr;
};

// Payload memory. Large buffers are mapped directly with transparent huge
// pages, so inflating megabytes costs a few page faults, not thousands; small
// ones come from the heap.
struct BirdPayloadDeleter {
    size_t mappedSize = 0;
    void operator()(unsigned char* p) const;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_IDENTITY = 4,
        BLOCK_LOADER_START = 5,
    };

    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
    static constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    static constexpr size_t IDENTITY_SIZE = 64;

    // Upper bound for the inflated payload (and the file itself), so a
    // hostile file cannot make us reserve or read unbounded memory.
    static constexpr uint32_t MAX_PAYLOAD_SIZE = 256u * 1024u * 1024u;

    using PayloadDeleter = BirdPayloadDeleter;
    using PayloadBuffer = std::unique_ptr<unsigned char[], PayloadDeleter>;
    // Uninitialised buffer of `size` bytes (null when memory runs out).
    static PayloadBuffer AllocatePayload(size_t size);

    BirdFile() = default;
    // Throws std::runtime_error("Failed to load bird data") when Load fails.
    explicit BirdFile(const char* path);
    ~BirdFile() = default;

    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;

    static bool VerifyFile(const char* path);

    bool Load();
    bool DecompressData(const unsigned char* data, unsigned long length);
    bool ScanBlocks(const unsigned char* data, unsigned size);

    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    bool FindSerialNumberOffsets();
    bool ReplaceSerialNumber(unsigned serial);
    bool DecodeFirmwareBlocks(const unsigned* key);

    unsigned GetSerialNumber() const;
    unsigned GetBuild() const;
    std::string GetVersion() const;
    bool ValidateSerialNumber(unsigned serial) const;
    bool ValidateModel(const char* model) const;

    bool ReplaceVectorChecksum();
    bool ValidateData(unsigned char* pattern, unsigned count) const;
    bool DumpBlocks(BLOCK_TYPE type) const;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialNumberBlock = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    PayloadBuffer payload;
    uint32_t payloadSize = 0;

private:
    // The 64 identity bytes, or null without a (complete) identity block.
    const unsigned char* identity() const;
    void reset() noexcept;
};
