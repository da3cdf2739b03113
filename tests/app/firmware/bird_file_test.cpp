#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "BirdFile.h"
#include "BirdTestSupport.h"

using birdtest::Bytes;
using birdtest::LogCapture;
using birdtest::ReadAll;
using birdtest::RunBirdgen;
using birdtest::TempDir;
using birdtest::WriteAll;

namespace {

struct ExpectedBlock {
    uint8_t type, flags;
    uint32_t length, address;
    int image;  // index into the fixture's image files, or -1 to skip the data check
};

struct LoadCase {
    const char* name;
    std::vector<std::string> args;  // "@0", "@1": paths of image files 0 and 1
    bool loads;
    bool verifies;
    std::vector<ExpectedBlock> blocks;
    unsigned build, serial;
    const char* version;
    bool hasSerialBlock;
    uint32_t serialOffset, descriptorOffset;
    const char* logNeedle;  // must appear in the BirdFile log, or null
};

class BirdFileFixture : public ::testing::Test {
protected:
    void SetUp() override {
        images = {Bytes(200, 1), Bytes(40, 2)};
        for (size_t i = 0; i < images.size(); ++i) WriteAll(ImagePath(i), images[i]);
    }
    std::string ImagePath(size_t i) const { return dir / ("image" + std::to_string(i)); }

    // Writes a BIRD file with birdgen; "@N" in an argument stands for image N's path.
    std::string Make(std::vector<std::string> args, const std::string& name = "test.bird") {
        for (auto& a : args) {
            for (size_t i = 0; i < images.size(); ++i) {
                std::string tag = "@" + std::to_string(i);
                size_t at = a.find(tag);
                if (at != std::string::npos) a.replace(at, tag.size(), ImagePath(i));
            }
        }
        std::string out = dir / name;
        args.insert(args.begin(), {"-o", out});
        std::string text;
        EXPECT_EQ(RunBirdgen(args, &text), 0) << text;
        return out;
    }

    TempDir dir;
    std::vector<std::vector<unsigned char>> images;
};

const std::vector<std::string> kFullFile = {
    "--loader", "0x10000000/2:file:@1", "--loader-start", "0x20000400", "--firmware", "0x1000/5:file:@0",
    "--serial-offsets", "0x1010,0x1040", "--identity", "1234,2.12.0,40F5849A,MODEL-X"};

class BirdLoadTable : public BirdFileFixture, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(BirdLoadTable, LoadsAsExpected) {
    const LoadCase& c = GetParam();
    std::string path = Make(c.args);
    LogCapture log(0x00000008);

    EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verifies);
    BirdFile file;
    file.path = path;
    ASSERT_EQ(file.Load(), c.loads);
    if (c.logNeedle) {
        EXPECT_NE(log.text().find(c.logNeedle), std::string::npos) << log.text();
    }
    if (c.loads) {
        EXPECT_NO_THROW(BirdFile(path.c_str()));
    } else {
        try {
            BirdFile thrown(path.c_str());
            ADD_FAILURE() << "constructor did not throw";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data");
        }
        return;
    }

    ASSERT_EQ(file.blocks.size(), c.blocks.size());
    EXPECT_EQ(file.blockCount, c.blocks.size());
    const unsigned char* begin = file.payload.get();
    const unsigned char* end = begin + file.payloadSize;
    for (size_t i = 0; i < c.blocks.size(); ++i) {
        const BirdBlock& b = file.blocks[i];
        const ExpectedBlock& e = c.blocks[i];
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_EQ(b.type, e.type);
        EXPECT_EQ(b.flags, e.flags);
        EXPECT_EQ(b.length, e.length);
        EXPECT_EQ(b.address, e.address);
        ASSERT_GE(b.data, begin);
        ASSERT_LE(b.data + b.length, end);
        if (e.image >= 0) {
            const auto& img = images[size_t(e.image)];
            ASSERT_EQ(b.length, img.size() + 4);
            EXPECT_EQ(0, std::memcmp(b.data + 4, img.data(), img.size()));
        }
    }
    EXPECT_EQ(file.GetBuild(), c.build);
    EXPECT_EQ(file.GetSerialNumber(), c.serial);
    EXPECT_EQ(file.GetVersion(), c.version);
    EXPECT_EQ(file.hasSerialNumberBlock, c.hasSerialBlock);
    EXPECT_EQ(file.serialNumberOffset, c.serialOffset);
    EXPECT_EQ(file.descriptorOffset, c.descriptorOffset);
}

const ExpectedBlock kLoader{0, 2, 44, 0x10000000, 1};
const ExpectedBlock kLoaderStart{5, 0, 4, 0, -1};
const ExpectedBlock kFirmware{1, 5, 204, 0x1000, 0};
const ExpectedBlock kOffsets{2, 0, 8, 0, -1};
const ExpectedBlock kIdentity{4, 0, 64, 0, -1};

std::vector<std::string> with(std::vector<std::string> base, const std::vector<std::string>& extra) {
    base.insert(base.end(), extra.begin(), extra.end());
    return base;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BirdLoadTable,
    ::testing::Values(
        LoadCase{"Full", kFullFile, true, true, {kLoader, kLoaderStart, kFirmware, kOffsets, kIdentity},
                 1234, 0x40F5849A, "2.12.0", true, 0x1010, 0x1040, "File checksum"},
        LoadCase{"NoIdentityNoOffsets", {"--firmware", "0x1000/5:file:@0", "--raw", "3/7:hex:aabbcc"}, true, true,
                 {kFirmware, {3, 7, 3, 0, -1}}, 0, 0, "", false, 0, 0, nullptr},
        LoadCase{"WrongSignatureStillLoads", with(kFullFile, {"--signature", "BIRD"}), true, false,
                 {kLoader, kLoaderStart, kFirmware, kOffsets, kIdentity}, 1234, 0x40F5849A, "2.12.0", true, 0x1010,
                 0x1040, nullptr},
        LoadCase{"ZeroVersionByte", with(kFullFile, {"--format-version", "0x0100"}), true, false,
                 {kLoader, kLoaderStart, kFirmware, kOffsets, kIdentity}, 1234, 0x40F5849A, "2.12.0", true, 0x1010,
                 0x1040, nullptr},
        LoadCase{"TruncatedZlib", with(kFullFile, {"--truncate-zlib", "6"}), false, true, {}, 0, 0, "", false, 0, 0,
                 "decompressing bird file"},
        LoadCase{"CountMismatch", {"--firmware", "0x1000/5:file:@0", "--loader", "0x10000000/2:file:@1",
                                   "--declared-count", "3"},
                 true, true, {kFirmware, kLoader}, 0, 0, "", false, 0, 0,
                 "mismatch in number of blocks. (2 != 3)"},
        LoadCase{"LengthPastEnd", {"--firmware", "0x1000/5:file:@0", "--loader", "0x10000000/2:file:@1",
                                   "--length-past-end", "1"},
                 true, true, {kFirmware}, 0, 0, "", false, 0, 0, "runs past the end"},
        LoadCase{"HugeLengthPastEnd", {"--firmware", "0x1000/5:file:@0", "--identity", "7,1.0,1,M",
                                       "--length-past-end", "0xFFFFFF00"},
                 true, true, {kFirmware}, 0, 0, "", false, 0, 0, "runs past the end"},
        LoadCase{"TrailingBytes", {"--firmware", "0x1000/5:file:@0", "--trailing", "hex:0102"}, true, true,
                 {kFirmware}, 0, 0, "", false, 0, 0, "runs past the end"},
        LoadCase{"InflatesPastEightTimes", {"--firmware", "0:zeros:100000"}, false, true, {}, 0, 0, "", false, 0, 0,
                 "Error (-5) decompressing"},
        LoadCase{"EmptyPayload", {"--raw-payload", "hex:"}, true, true, {}, 0, 0, "", false, 0, 0, nullptr},
        LoadCase{"ThreeBytePayload", {"--raw-payload", "hex:000001"}, true, true, {}, 0, 0, "", false, 0, 0,
                 nullptr},
        LoadCase{"NoRoomForChecksum", {"--raw-payload", "hex:00000001010000000000"}, true, true,
                 {{1, 0, 0, 0, -1}}, 0, 0, "", false, 0, 0, "(1 bytes remaining)"},
        LoadCase{"ShortFirmwareBlock", {"--raw", "1:hex:0102"}, true, true, {{1, 0, 2, 0, -1}}, 0, 0, "", false, 0,
                 0, nullptr},
        LoadCase{"ShortIdentityIgnored", {"--raw", "4:text:1234            2.0"}, true, true, {{4, 0, 19, 0, -1}}, 0,
                 0, "", false, 0, 0, nullptr},
        LoadCase{"ShortOffsetsBlock", {"--firmware", "0x1000/5:file:@0", "--raw", "2:hex:00001010"}, true, true,
                 {kFirmware, {2, 0, 4, 0, -1}}, 0, 0, "", true, 0, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileFixture, LoadFailsForMissingShortAndDirectoryPaths) {
    WriteAll(dir / "short", {'b', 'i', 'r', 'd', 1, 1});
    WriteAll(dir / "empty", {});
    for (std::string path : {dir / "missing.bird", dir / "short", dir / "empty", dir.path().string()}) {
        SCOPED_TRACE(path);
        BirdFile file;
        file.path = path;
        EXPECT_FALSE(file.Load());
        EXPECT_TRUE(file.blocks.empty());
        EXPECT_EQ(file.payloadSize, 0u);
    }
}

TEST_F(BirdFileFixture, VerifyFileChecksOnlyTheHeader) {
    struct Case {
        std::vector<unsigned char> bytes;
        bool ok;
    };
    const std::vector<Case> cases = {
        {{'b', 'i', 'r', 'd', 1, 1}, true},
        {{'b', 'i', 'r', 'd', 1, 1, 0xFF, 0xFF}, true},  // garbage payload is not looked at
        {{'b', 'i', 'r', 'd', 0, 1}, false},
        {{'b', 'i', 'r', 'd', 1, 0}, false},
        {{'b', 'i', 'r', 'x', 1, 1}, false},
        {{'B', 'I', 'R', 'D', 1, 1}, false},
        {{'b', 'i', 'r', 'd', 1}, false},
        {{}, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string path = dir / ("v" + std::to_string(i));
        WriteAll(path, cases[i].bytes);
        EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), cases[i].ok) << "case " << i;
    }
    EXPECT_FALSE(BirdFile::VerifyFile((dir / "nope").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(BirdFileFixture, LoadAgainReplacesEarlierContents) {
    BirdFile file(Make(kFullFile, "a.bird").c_str());
    file.path = Make({"--firmware", "0x2000:file:@1"}, "b.bird");
    ASSERT_TRUE(file.Load());
    ASSERT_EQ(file.blocks.size(), 1u);
    EXPECT_EQ(file.blocks[0].address, 0x2000u);
    EXPECT_FALSE(file.hasSerialNumberBlock);
    EXPECT_EQ(file.serialNumberOffset, 0u);
    EXPECT_EQ(file.GetBuild(), 0u);
}

// ---- identity record -----------------------------------------------------

struct IdentityCase {
    const char* fields[4];  // build, version, serial, model; each padded to 16 with blanks
    unsigned build, serial;
    const char* version;
};

TEST_F(BirdFileFixture, IdentityFieldsParse) {
    const std::vector<IdentityCase> cases = {
        {{"1234", "2.12.0", "40F5849A", "MODEL-X"}, 1234, 0x40F5849A, "2.12.0"},
        {{"12a4", "2.12.0-rc1 x", "0001abcd", "M"}, 12, 0x0001ABCD, "2.12.0-rc1"},
        {{"1234567890123456", "1.2.3.4.5.6.7.89", "FFFFFFFF1", "M"}, 0, 0xFFFFFFFF, "1.2.3.4.5.6.7.8"},
        {{"4294967295", "v", "12345678", "M"}, 4294967295u, 0x12345678, "v"},
        {{"4294967296", "v", "1234G678", "M"}, 0, 0x1234, "v"},
        {{"", "", "", ""}, 0, 0, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        std::string fields;
        for (const char* f : cases[i].fields) fields += std::string(f) + std::string(16 - std::strlen(f), ' ');
        std::string path = Make({"--raw", "4:text:" + fields}, "id" + std::to_string(i));
        BirdFile file(path.c_str());
        EXPECT_EQ(file.GetBuild(), cases[i].build);
        EXPECT_EQ(file.GetSerialNumber(), cases[i].serial);
        EXPECT_EQ(file.GetVersion(), cases[i].version);
        EXPECT_TRUE(file.ValidateSerialNumber(cases[i].serial));
        EXPECT_FALSE(file.ValidateSerialNumber(cases[i].serial + 1));
    }
}

TEST_F(BirdFileFixture, ModelComparesThePrefixOfTheField) {
    BirdFile file(Make(kFullFile).c_str());
    struct Case {
        const char* model;
        bool ok;
    } cases[] = {{"MODEL-X", true}, {"MODEL", true}, {"", true}, {"MODEL-XY", false},
                 {"model-x", false}, {"OTHER", false}, {"MODEL-X ", false}, {nullptr, false}};
    for (const auto& c : cases) EXPECT_EQ(file.ValidateModel(c.model), c.ok) << (c.model ? c.model : "(null)");

    BirdFile bare(Make({"--firmware", "0x1000:file:@0"}, "bare.bird").c_str());
    EXPECT_FALSE(bare.ValidateModel(""));
    EXPECT_FALSE(bare.ValidateSerialNumber(1));
    EXPECT_TRUE(bare.ValidateSerialNumber(0));  // no identity reads as serial 0
}

// ---- serial-number patch -------------------------------------------------

struct SerialCase {
    const char* name;
    std::vector<std::string> offsetArgs;
    bool result;
    int wordAt;        // image offset of the serial word in image 0, or -1
    int descriptorAt;  // image offset of the descriptor text in image 0, or -1
};

TEST_F(BirdFileFixture, ReplaceSerialNumberPatchesOnlyInsideImages) {
    const std::vector<SerialCase> cases = {
        {"Both", {"--serial-offsets", "0x1010,0x1040"}, true, 0x10, 0x40},
        {"WordOnly", {"--serial-offsets", "0x1000,0"}, true, 0, -1},
        {"DescriptorOnly", {"--serial-offsets", "0,0x10B8"}, true, -1, 200 - 16},
        {"WordAtLastFit", {"--serial-offsets", "0x10C4,0"}, true, 200 - 4, -1},
        {"WordStraddlesEnd", {"--serial-offsets", "0x10C5,0"}, true, -1, -1},
        {"WordBeforeImage", {"--serial-offsets", "0x0FFE,0"}, true, -1, -1},
        {"DescriptorStraddlesEnd", {"--serial-offsets", "0,0x10B9"}, false, -1, -1},
        {"WordNearTopOfAddressSpace", {"--serial-offsets", "0xFFFFFFFE,0"}, true, -1, -1},
        {"Neither", {"--serial-offsets", "0,0"}, false, -1, -1},
        {"NoOffsetsBlock", {}, false, -1, -1},
    };
    const unsigned serial = 0x1234ABCD;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--loader", "0x1000:file:@1", "--firmware", "0x1000:file:@0",
                                         "--identity", "1,1.0,0,M"};
        args.insert(args.end(), c.offsetArgs.begin(), c.offsetArgs.end());
        BirdFile file(Make(args, std::string(c.name) + ".bird").c_str());
        std::vector<unsigned char> before(file.payload.get(), file.payload.get() + file.payloadSize);

        EXPECT_EQ(file.ReplaceSerialNumber(serial), c.result);

        // Expected payload: the original with only the patched image bytes changed.
        std::vector<unsigned char> expected = before;
        const BirdBlock fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0);
        size_t imageAt = size_t(fw.data - file.payload.get()) + 4;
        if (c.wordAt >= 0) {
            const unsigned char le[4] = {0xCD, 0xAB, 0x34, 0x12};
            std::memcpy(&expected[imageAt + size_t(c.wordAt)], le, 4);
        }
        if (c.descriptorAt >= 0) {
            const char* text = "1234ABCD";
            for (int i = 0; i < 8; ++i) expected[imageAt + size_t(c.descriptorAt) + 2 * size_t(i)] = uint8_t(text[i]);
        }
        std::vector<unsigned char> after(file.payload.get(), file.payload.get() + file.payloadSize);
        EXPECT_EQ(after, expected);
    }
}

TEST_F(BirdFileFixture, ReplaceSerialNumberFindsThePositionInAnyFirmwareBlock) {
    BirdFile file(Make({"--firmware", "0x1000:file:@1", "--firmware", "0x8000:file:@0", "--serial-offsets",
                        "0x8004,0"})
                      .c_str());
    ASSERT_TRUE(file.ReplaceSerialNumber(0x01020304));
    auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_EQ(0, std::memcmp(fw[0].data + 4, images[1].data(), images[1].size()));
    std::vector<unsigned char> expected = images[0];
    expected[4] = 0x04, expected[5] = 0x03, expected[6] = 0x02, expected[7] = 0x01;
    EXPECT_EQ(0, std::memcmp(fw[1].data + 4, expected.data(), expected.size()));
}

TEST_F(BirdFileFixture, ShortFirmwareBlocksAreNeverWritten) {
    // Blocks too short for an address word have an empty image.
    BirdFile file(Make({"--raw", "1:hex:0102", "--serial-offsets", "1,1", "--firmware", "0:hex:"}).c_str());
    std::vector<unsigned char> before(file.payload.get(), file.payload.get() + file.payloadSize);
    EXPECT_TRUE(file.ReplaceSerialNumber(0xFFFFFFFF));
    const unsigned key[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    std::vector<unsigned char> after(file.payload.get(), file.payload.get() + file.payloadSize);
    EXPECT_EQ(after, before);
}

// ---- deciphering ---------------------------------------------------------

TEST_F(BirdFileFixture, DecodeFirmwareBlocksUndoesTheCipher) {
    const unsigned key[4] = {0xA1B2C3D4, 0x01020304, 0xDEADBEEF, 0x00FF00FF};
    BirdFile file(Make({"--loader", "0x10000000:file:@1", "--firmware", "0x1000/1:file:@0", "--firmware",
                        "0x3000:file:@1", "--encipher", "A1B2C3D4,01020304,DEADBEEF,00FF00FF"})
                      .c_str());
    auto cipher = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(cipher.size(), 2u);
    // The cipher text differs from the plain image, so the round trip is not vacuous.
    ASSERT_NE(0, std::memcmp(cipher[0].data + 4, images[0].data(), images[0].size()));
    const std::vector<unsigned char> c0(cipher[0].data + 4, cipher[0].data + 4 + 20);

    EXPECT_TRUE(file.DecodeFirmwareBlocks(key));

    auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(fw[0].address, 0x1000u);
    EXPECT_EQ(fw[0].data[0], 0x00);
    EXPECT_EQ(fw[0].data[2], 0x10);  // address word stays big-endian 0x1000
    EXPECT_EQ(0, std::memcmp(fw[0].data + 4, images[0].data(), images[0].size()));
    EXPECT_EQ(0, std::memcmp(fw[1].data + 4, images[1].data(), images[1].size()));  // key restarts per block
    auto loader = file.FindBlocks(BirdFile::BLOCK_LOADER);
    EXPECT_EQ(0, std::memcmp(loader[0].data + 4, images[1].data(), images[1].size()));

    // The chaining rule on the first bytes, written out.
    const unsigned char* p = fw[0].data + 4;
    EXPECT_EQ(p[0], c0[0] ^ 0xA1);
    EXPECT_EQ(p[1], c0[1] ^ 0xB2 ^ p[0]);
    EXPECT_EQ(p[4], c0[4] ^ 0x01 ^ p[3]);
    EXPECT_EQ(p[16], c0[16] ^ 0xA1 ^ p[15]);

    EXPECT_FALSE(file.DecodeFirmwareBlocks(nullptr));
}

// ---- vector checksum, data search, dump ----------------------------------

TEST_F(BirdFileFixture, VectorChecksumMakesTheTableSumToZero) {
    BirdFile file(Make({"--firmware", "0:file:@0", "--firmware", "0x1000:file:@1"}).c_str());
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    auto fw = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const unsigned char* v = fw[0].data + 4;
    uint32_t sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += uint32_t(v[4 * i]) | uint32_t(v[4 * i + 1]) << 8 | uint32_t(v[4 * i + 2]) << 16 |
               uint32_t(v[4 * i + 3]) << 24;
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(0, std::memcmp(v, images[0].data(), 28));
    EXPECT_EQ(0, std::memcmp(v + 32, images[0].data() + 32, images[0].size() - 32));
    EXPECT_EQ(0, std::memcmp(fw[1].data + 4, images[1].data(), images[1].size()));
}

TEST_F(BirdFileFixture, ValidateDataSearchesFirmwareBlocks) {
    BirdFile file(Make({"--loader", "0:hex:cafef00d", "--firmware", "0x1000:hex:0011223344556677"}).c_str());
    unsigned char inImage[] = {0x33, 0x44, 0x55};
    unsigned char addressWord[] = {0x00, 0x00, 0x10, 0x00};
    unsigned char inLoaderOnly[] = {0xCA, 0xFE};
    unsigned char lastBytes[] = {0x66, 0x77};  // the final position is not searched
    EXPECT_TRUE(file.ValidateData(inImage, sizeof inImage));
    EXPECT_TRUE(file.ValidateData(addressWord, sizeof addressWord));
    EXPECT_FALSE(file.ValidateData(inLoaderOnly, sizeof inLoaderOnly));
    EXPECT_FALSE(file.ValidateData(lastBytes, sizeof lastBytes));
    EXPECT_FALSE(file.ValidateData(inImage, 0));
    EXPECT_FALSE(file.ValidateData(nullptr, 3));
}

TEST_F(BirdFileFixture, DumpBlocksPrintsHexAndText) {
    BirdFile file(Make({"--firmware", "0x41424344:text:EFGH"}).c_str());
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(file.DumpBlocks(BirdFile::BLOCK_FIRMWARE));
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + file.path + "]\n \r\n000000: 41 42 43 44 45 46 47 48  ABCDEFGH\n\n");
}

// ---- ownership -----------------------------------------------------------

TEST_F(BirdFileFixture, MovingKeepsBlocksPointingIntoTheMovedPayload) {
    BirdFile source(Make(kFullFile).c_str());
    const unsigned char* payload = source.payload.get();
    const size_t count = source.blocks.size();

    BirdFile moved(std::move(source));
    EXPECT_EQ(moved.payload.get(), payload);
    ASSERT_EQ(moved.blocks.size(), count);
    for (const auto& b : moved.blocks) {
        EXPECT_GE(b.data, payload);
        EXPECT_LE(b.data + b.length, payload + moved.payloadSize);
    }
    EXPECT_EQ(moved.GetBuild(), 1234u);
    EXPECT_TRUE(source.blocks.empty());
    EXPECT_EQ(source.payload, nullptr);
    EXPECT_EQ(source.GetBuild(), 0u);

    BirdFile assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.payload.get(), payload);
    EXPECT_EQ(assigned.serialNumberOffset, 0x1010u);
    EXPECT_TRUE(assigned.hasSerialNumberBlock);
    EXPECT_TRUE(assigned.ReplaceSerialNumber(7));
    EXPECT_EQ(moved.blockCount, 0u);
}

}  // namespace
