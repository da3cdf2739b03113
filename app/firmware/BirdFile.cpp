#include "BirdFile.h"

#include <zlib.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Log.h"

namespace {

constexpr unsigned kLogTopic = DEBUG_BirdFile;
constexpr uint32_t kMaxCompressionRatio = 8;

uint32_t GetInt(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t GetShort(const unsigned char* p) {
    return (uint32_t(p[0]) << 8) | uint32_t(p[1]);
}

// Image bytes of a loader or firmware block: everything after the address word.
uint32_t imageLength(const BirdBlock& b) { return b.length >= 4 ? b.length - 4 : 0; }
unsigned char* imageStart(const BirdBlock& b) { return b.data + 4; }

// Offset into the block's image of `count` bytes at target address `target`,
// or -1 when they do not lie wholly inside the image.
int64_t imageOffset(const BirdBlock& b, uint32_t target, uint32_t count) {
    int64_t off = int64_t(target) - int64_t(b.address);
    if (off < 0 || off + int64_t(count) > int64_t(imageLength(b))) return -1;
    return off;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

void BirdPayloadDeleter::operator()(unsigned char* p) const {
    if (p) ::munmap(p, mappedSize);
}

BirdFile::PayloadBuffer BirdFile::AllocatePayload(size_t size) {
    // Mapped rather than heap memory: large payloads are released to the
    // system at once, and huge pages halve the cost of touching fresh memory.
    const size_t mapped = size ? size : 1;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return PayloadBuffer(nullptr, PayloadDeleter{});
    if (mapped >= (1u << 20))
        ::madvise(p, mapped, MADV_HUGEPAGE);  // advisory: fine if the kernel declines
    return PayloadBuffer(static_cast<unsigned char*>(p), PayloadDeleter{mapped});
}

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);
    hasSerialNumberBlock = other.hasSerialNumberBlock;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    payload = std::move(other.payload);
    payloadSize = other.payloadSize;
    other.reset();
    return *this;
}

void BirdFile::reset() noexcept {
    path.clear();
    signature = version = checksum = blockCount = 0;
    blocks.clear();
    hasSerialNumberBlock = false;
    serialNumberOffset = descriptorOffset = 0;
    payload.reset();
    payloadSize = 0;
}

bool BirdFile::VerifyFile(const char* filePath) {
    FilePtr f(filePath ? std::fopen(filePath, "rb") : nullptr);
    if (!f) {
        Log::log(kLogTopic, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath ? filePath : "");
        return false;
    }
    unsigned char head[6];
    if (std::fread(head, 1, sizeof head, f.get()) != sizeof head) return false;
    return GetInt(head) == BIRD_FILE_SIGNATURE && head[4] != 0 && head[5] != 0;
}

bool BirdFile::Load() {
    std::string keep = std::move(path);
    reset();
    path = std::move(keep);
    const char* p = path.c_str();
    Log::log(kLogTopic, "BIRDFILE: Loading File [%s]\n", p);

    struct stat st {};
    if (::stat(p, &st) != 0) {
        Log::log(kLogTopic, "BIRDFILE: BIRD file not found [%s]\n", p);
        return false;
    }
    FilePtr f(std::fopen(p, "rb"));
    if (!f) {
        Log::log(kLogTopic, "BIRDFILE: Error - cannot open bird file: '%s'\n", p);
        return false;
    }
    int sizeError = ::fstat(::fileno(f.get()), &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
    if (sizeError != 0) {
        Log::log(kLogTopic, "BIRDFILE: Error (%d) getting bird file size from %s\n", sizeError, p);
        return false;
    }
    const size_t fileSize = size_t(st.st_size);
    if (fileSize > MAX_PAYLOAD_SIZE) {
        Log::log(kLogTopic, "BIRDFILE: Error - %s is too large (%zu bytes)\n", p, fileSize);
        return false;
    }

    bool result = false;
    {
        PayloadBuffer buffer = AllocatePayload(fileSize);
        if (!buffer) {
            Log::log(kLogTopic, "BIRDFILE: Error (%d) reading %s\n", ENOMEM, p);
            return false;
        }
        size_t got = std::fread(buffer.get(), 1, fileSize, f.get());
        if (std::ferror(f.get())) {
            Log::log(kLogTopic, "BIRDFILE: Error (%d) reading %s\n", errno, p);
        } else if (got != fileSize) {
            Log::log(kLogTopic, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", p, got, fileSize);
        } else {
            if (fileSize > 6) {
                signature = GetInt(buffer.get());
                version = GetShort(buffer.get() + 4);
            }
            // The file buffer is released here, before the scan, to keep the
            // peak at compressed plus inflated size.
            if (fileSize >= 6 && DecompressData(buffer.get() + 6, fileSize - 6)) {
                buffer.reset();
                ScanBlocks(payload.get(), payloadSize);
                FindSerialNumberOffsets();
                result = true;
            }
        }
    }
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        hasSerialNumberBlock = true;
        FindSerialNumberOffsets();
    }
    return result;
}

bool BirdFile::DecompressData(const unsigned char* data, unsigned long length) {
    blocks.clear();
    blockCount = 0;
    payloadSize = 0;
    payload.reset();

    // Capacity is eight times the compressed size, capped so it fits in 32
    // bits and within the payload limit; more than that is zlib's buffer error.
    uint64_t capacity = uint64_t(length) * kMaxCompressionRatio;
    if (capacity > MAX_PAYLOAD_SIZE) capacity = MAX_PAYLOAD_SIZE;
    // Pages are only touched as zlib writes them, so an oversized reservation
    // costs address space, not memory.
    payload = AllocatePayload(size_t(capacity));
    if (!payload) {
        Log::log(kLogTopic, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }

    uLongf outLength = uLongf(capacity);
    int rc = data ? ::uncompress(payload.get(), &outLength, data, uLong(length)) : Z_STREAM_ERROR;
    if (rc != Z_OK) {
        Log::log(kLogTopic, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        payload.reset();
        payloadSize = 0;
        return false;
    }
    payloadSize = uint32_t(outLength);
    return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned size) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (!data || size < 4) {
        Log::log(kLogTopic, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n", int(size));
        return false;
    }

    bool result = true;
    const uint32_t declared = GetInt(data);
    Log::log(kLogTopic, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
    Log::log(kLogTopic, "BIRDFILE: Bird file objects:\n");
    Log::log(kLogTopic, "BIRDFILE: \t\tType Flags Length\n");

    size_t pos = 4;
    bool overrun = false;
    while (size - pos > 4) {
        BirdBlock b;
        b.type = data[pos] & BIRD_FILE_TYPE_MASK;
        b.flags = uint8_t((data[pos] & BIRD_FILE_FLAG_MASK) >> 5);
        b.length = GetInt(data + pos + 1);
        const size_t start = pos + 5;
        if (b.length > size - start) {
            Log::log(kLogTopic, "BIRDFILE: Block length %u at offset %zu runs past the end of the data (%zu bytes left)\n",
                     b.length, pos, size - start);
            overrun = true;
            result = false;
            break;
        }
        b.data = const_cast<unsigned char*>(data + start);
        if ((b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE) && b.length >= 4) b.address = GetInt(b.data);
        Log::log(kLogTopic, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags, int(b.length));
        if (b.type == BLOCK_IDENTITY && b.length >= IDENTITY_SIZE) {
            for (int i = 0; i < 4; ++i)
                Log::log(kLogTopic, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(b.data + 16 * i));
        }
        pos = start + b.length;
        ++blockCount;
        blocks.push_back(b);
    }

    if (!overrun) {
        if (size - pos < 4) {
            Log::log(kLogTopic, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n", int(size - pos));
            result = false;
        } else {
            checksum = GetInt(data + pos);
            Log::log(kLogTopic, "BIRDFILE:\t\t File checksum %08X\n", checksum);
            pos += 4;
            if (pos != size) {
                Log::log(kLogTopic, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                         int(size - pos));
                result = false;
            }
        }
    }
    if (blockCount != declared) {
        Log::log(kLogTopic, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", int(blockCount),
                 int(declared));
        result = false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : blocks)
        if (b.type == type) found.push_back(b);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0) return false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_SERIAL_OFFSETS) continue;
        if (b.length < 8) return false;  // too short to hold the two words
        serialNumberOffset = GetInt(b.data);
        descriptorOffset = GetInt(b.data + 4);
        Log::log(kLogTopic, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", int(serialNumberOffset),
                 int(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(unsigned serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE) continue;
        if (serialNumberOffset != 0) {
            int64_t off = imageOffset(b, serialNumberOffset, 4);
            if (off >= 0) {
                unsigned char* w = imageStart(b) + off;
                uint32_t old = uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
                Log::log(kLogTopic, "BIRDFILE: updating serial number from %08X ==> %08X\n", old, serial);
                w[0] = uint8_t(serial);
                w[1] = uint8_t(serial >> 8);
                w[2] = uint8_t(serial >> 16);
                w[3] = uint8_t(serial >> 24);
            }
            result = true;
        }
        if (descriptorOffset != 0) {
            int64_t off = imageOffset(b, descriptorOffset, 16);
            if (off >= 0) {
                unsigned char* d = imageStart(b) + off;
                for (int i = 0; i < 8; ++i) d[2 * i] = uint8_t(text[i]);
                result = true;
            }
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned* key) {
    if (!key) return false;
    unsigned char k[16];
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i) k[4 * w + i] = uint8_t(key[w] >> (24 - 8 * i));
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE) continue;
        unsigned char* img = imageStart(b);
        unsigned char prev = 0;
        const uint32_t n = imageLength(b);
        for (uint32_t i = 0; i < n; ++i) {
            prev = uint8_t(img[i] ^ k[i % 16] ^ prev);
            img[i] = prev;
        }
    }
    return true;
}

const unsigned char* BirdFile::identity() const {
    for (const BirdBlock& b : blocks)
        if (b.type == BLOCK_IDENTITY) return b.length >= IDENTITY_SIZE ? b.data : nullptr;
    return nullptr;
}

unsigned BirdFile::GetSerialNumber() const {
    const unsigned char* id = identity();
    if (!id) return 0;
    char text[9];
    std::memcpy(text, id + 32, 8);
    text[8] = 0;
    unsigned value = 0;
    for (int i = 0; i < 8; ++i) {
        char c = text[i];
        int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (digit < 0) break;
        value = (value << 4) | unsigned(digit);
    }
    return value;
}

unsigned BirdFile::GetBuild() const {
    const unsigned char* id = identity();
    if (!id) return 0;
    uint64_t value = 0;
    for (int i = 0; i < 15 && id[i] >= '0' && id[i] <= '9'; ++i) {
        value = value * 10 + (id[i] - '0');
        if (value > UINT32_MAX) return 0;  // not a 32-bit build number
    }
    return unsigned(value);
}

std::string BirdFile::GetVersion() const {
    const unsigned char* id = identity();
    if (!id) return {};
    std::string text;
    for (int i = 16; i < 31 && id[i] != ' ' && id[i] != 0; ++i) text.push_back(char(id[i]));
    return text;
}

bool BirdFile::ValidateSerialNumber(unsigned serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* model) const {
    const unsigned char* id = identity();
    if (!id || !model) return false;
    size_t n = 16;
    while (n > 0 && (id[48 + n - 1] == ' ' || id[48 + n - 1] == 0)) --n;
    std::string field(reinterpret_cast<const char*>(id + 48), n);
    field = field.c_str();  // an embedded NUL ends the name
    const size_t want = std::strlen(model);
    if (want > field.size() || field.compare(0, want, model) != 0) return false;
    Log::log(kLogTopic, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.address != 0 || imageLength(b) < 32) continue;
        unsigned char* v = imageStart(b);
        auto word = [v](int i) {
            const unsigned char* p = v + 4 * i;
            return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        };
        uint32_t sum = 0;
        for (int i = 0; i < 7; ++i) sum += word(i);
        uint32_t value = 0u - sum;
        Log::log(kLogTopic, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", word(7), value);
        for (int i = 0; i < 4; ++i) v[28 + i] = uint8_t(value >> (8 * i));
    }
    return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned count) const {
    Log::log(kLogTopic, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && count > 0) {
        for (const BirdBlock& b : blocks) {
            if (b.type != BLOCK_FIRMWARE || b.length <= count) continue;
            for (uint32_t i = 0; i < b.length - count; ++i) {
                if (std::memcmp(b.data + i, pattern, count) == 0) {
                    Log::log(kLogTopic, "Found data at %d\n", int(i));
                    found = true;
                }
            }
        }
    }
    Log::log(kLogTopic, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& b : blocks) {
        if (b.type != type) continue;
        std::string text;
        for (uint32_t i = 0; i < b.length; ++i) {
            if (i % 50 == 0) {
                std::printf(" %s\r\n%06d: ", text.c_str(), int(i));
                text.clear();
            }
            unsigned char c = b.data[i];
            std::printf("%02X ", c);
            text.push_back((c >= 0x20 && c < 0x7F) ? char(c) : ' ');
        }
        std::printf(" %s\n", text.c_str());
    }
    std::printf("\n");
    return true;
}
