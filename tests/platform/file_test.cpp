#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "TempDir.h"
#include "aFile.h"

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void spit(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

class FileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    TempDir dir;
};

TEST_F(FileTest, OpenRefusesBadPathsAndModes)
{
    spit(dir.file("present"), "x");
    const std::string longPath(4097, 'a');
    const struct {
        const char* name;
        const char* path;
        uint32_t mode;
    } cases[] = {
        {"null path", nullptr, aFILE_MODE_READ},
        {"empty path", "", aFILE_MODE_READ},
        {"4097 characters", longPath.c_str(), aFILE_MODE_WRITE},
        {"mode 3", "present", 3},
        {"mode 99", "present", 99},
        {"missing file for reading", "missing", aFILE_MODE_READ},
        {"directory for writing", ".", aFILE_MODE_WRITE},
    };
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    for (const auto& c : cases) {
        aFile* file = aFile_Open(c.path, c.mode);
        EXPECT_EQ(file, nullptr) << c.name;
        if (file != nullptr)
            aFile_Close(&file);
    }
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FileTest, ModesDecideWhatIsAllowed)
{
    const std::string path = dir.file("data");
    spit(path, "old");
    const struct {
        uint32_t mode;
        aErr read, write, readLine, printf, unbuffered;
        const char* after; // file content after writing "NEW"
    } cases[] = {
        {aFILE_MODE_READ, aErrNone, aErrMode, aErrNone, aErrMode, aErrMode, "old"},
        {aFILE_MODE_WRITE, aErrMode, aErrNone, aErrMode, aErrNone, aErrNone, "NEWp"},
        {aFILE_MODE_APPEND, aErrEOF, aErrNone, aErrEOF, aErrNone, aErrNone, "oldNEWp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        spit(path, "old");
        aFile* file = aFile_Open(path.c_str(), c.mode);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(aFile_SetUnbuffered(file), c.unbuffered);
        char buffer[8];
        size_t count = 99;
        // Append mode starts at the end: nothing to read yet.
        EXPECT_EQ(aFile_Read(file, buffer, 1, &count), c.read);
        EXPECT_EQ(aFile_Write(file, "NEW", 3, &count), c.write);
        EXPECT_EQ(aFile_Printf(file, "%c", 'p'), c.printf);
        if (c.mode == aFILE_MODE_READ) {
            EXPECT_EQ(aFile_Seek(file, 0, aFILE_SEEK_START), aErrNone);
        }
        size_t length = 0;
        EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), c.readLine);
        EXPECT_EQ(aFile_Close(&file), aErrNone);
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(slurp(path), c.after);
    }
}

TEST_F(FileTest, AppendModeCanReadWhatItWrote)
{
    const std::string path = dir.file("log");
    spit(path, "first\n");
    aFile* file = aFile_Open(path.c_str(), aFILE_MODE_APPEND);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_Printf(file, "second %d\n", 2), aErrNone);
    ASSERT_EQ(aFile_Seek(file, 0, aFILE_SEEK_START), aErrNone);
    char line[32];
    size_t length = 0;
    ASSERT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "first\n");
    ASSERT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrNone);
    EXPECT_STREQ(line, "second 2\n");
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &length), aErrEOF);
    // Writes after reads still land at the end.
    ASSERT_EQ(aFile_Write(file, "third\n", 6, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(slurp(path), "first\nsecond 2\nthird\n");
}

TEST_F(FileTest, ReadAndWriteReportCountsAndEnd)
{
    const std::string path = dir.file("bytes");
    aFile* out = aFile_Open(path.c_str(), aFILE_MODE_WRITE);
    ASSERT_NE(out, nullptr);
    size_t count = 99;
    EXPECT_EQ(aFile_Write(out, "abcdef", 6, &count), aErrNone);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(aFile_Write(out, "", 0, &count), aErrNone);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Write(out, nullptr, 3, &count), aErrParam);
    ASSERT_EQ(aFile_Close(&out), aErrNone);

    aFile* in = aFile_Open(path.c_str(), aFILE_MODE_READ);
    ASSERT_NE(in, nullptr);
    char buffer[16];
    EXPECT_EQ(aFile_Read(in, buffer, 4, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(aFile_Read(in, buffer, 16, &count), aErrNone) << "a short read is not the end";
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(buffer, 2), "ef");
    EXPECT_EQ(aFile_Read(in, buffer, 16, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(in, buffer, 0, nullptr), aErrNone);
    ASSERT_EQ(aFile_Close(&in), aErrNone);
}

TEST_F(FileTest, SeekStaysWithinTheFile)
{
    const std::string path = dir.file("ten");
    spit(path, "0123456789");
    aFile* file = aFile_Open(path.c_str(), aFILE_MODE_READ);
    ASSERT_NE(file, nullptr);
    const struct {
        long offset;
        uint32_t origin;
        aErr expected;
        size_t position; // afterwards
    } cases[] = {
        {4, aFILE_SEEK_START, aErrNone, 4},
        {2, aFILE_SEEK_CURRENT, aErrNone, 6},
        {-6, aFILE_SEEK_CURRENT, aErrNone, 0},
        {-1, aFILE_SEEK_CURRENT, aErrRange, 0},
        {0, aFILE_SEEK_END, aErrNone, 10},
        {1, aFILE_SEEK_END, aErrRange, 10},
        {-10, aFILE_SEEK_END, aErrNone, 0},
        {-11, aFILE_SEEK_END, aErrRange, 0},
        {10, aFILE_SEEK_START, aErrNone, 10},
        {11, aFILE_SEEK_START, aErrRange, 10},
        {-1, aFILE_SEEK_START, aErrRange, 10},
        {0, 3, aErrParam, 10},
        {LONG_MAX, aFILE_SEEK_END, aErrRange, 10},
        {LONG_MIN, aFILE_SEEK_CURRENT, aErrRange, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " from " << c.origin);
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.expected);
        size_t position = 12345;
        ASSERT_EQ(aFile_GetPosition(file, &position), aErrNone);
        EXPECT_EQ(position, c.position);
    }
    size_t size = 0;
    ASSERT_EQ(aFile_Seek(file, 3, aFILE_SEEK_START), aErrNone);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    char next = 0;
    ASSERT_EQ(aFile_Read(file, &next, 1, nullptr), aErrNone);
    EXPECT_EQ(next, '3') << "size query restores the position";
    aFile_Close(&file);
}

TEST_F(FileTest, SizeCountsBufferedWrites)
{
    aFile* file = aFile_Open(dir.file("grow").c_str(), aFILE_MODE_WRITE);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_Write(file, "12345", 5, nullptr), aErrNone);
    size_t size = 0;
    ASSERT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(aFile_Seek(file, 5, aFILE_SEEK_START), aErrNone);
    aFile_Close(&file);
}

TEST_F(FileTest, ReadLineReportsCutLines)
{
    const struct {
        const char* name;
        std::string content;
        size_t size;
        aErr expected;
        const char* line;
        size_t length;
    } cases[] = {
        {"line longer than the buffer", "abcdef\n", 4, aErrOverrun, "abc", 3},
        {"line with newline fits", "abc\n", 5, aErrNone, "abc\n", 4},
        {"text without newline fits exactly at the end", "abc", 4, aErrNone, "abc", 3},
        {"newline does not fit", "abc\n", 4, aErrOverrun, "abc", 3},
        {"empty file", "", 8, aErrEOF, "", 0},
        {"empty line", "\nx", 8, aErrNone, "\n", 1},
        {"buffer of one", "abc", 1, aErrParam, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("lines");
        spit(path, c.content);
        aFile* file = aFile_Open(path.c_str(), aFILE_MODE_READ);
        ASSERT_NE(file, nullptr);
        char line[16];
        memset(line, 0, sizeof line);
        size_t length = 99;
        EXPECT_EQ(aFile_ReadLine(file, line, c.size, &length), c.expected);
        if (c.expected != aErrParam) {
            EXPECT_STREQ(line, c.line);
            EXPECT_EQ(length, c.length);
        }
        aFile_Close(&file);
    }
}

TEST_F(FileTest, ExistsAndDelete)
{
    const std::string path = dir.file("victim");
    spit(path, "x");
    const std::string longPath(4097, 'a');
    EXPECT_TRUE(aFile_Exists(path.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str())) << "a directory is not a file";
    EXPECT_FALSE(aFile_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));

    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(longPath.c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO) << "directories are not removed here";

    if (geteuid() != 0) {
        const std::string locked = dir.file("locked");
        ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
        spit(locked + "/file", "x");
        ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
        EXPECT_EQ(aFile_Delete((locked + "/file").c_str()), aErrPermission);
        chmod(locked.c_str(), 0755);
    }
}

TEST_F(FileTest, InvalidRecordsAreRefused)
{
    char buffer[4];
    size_t value = 0;
    aFile* none = nullptr;
    EXPECT_EQ(aFile_Read(nullptr, buffer, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, buffer, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &value), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &value), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, buffer, 4, nullptr), aErrParam);
    EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
    EXPECT_EQ(aFile_Close(&none), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
}

TEST_F(FileTest, PositionZeroIsReported)
{
    const std::string path = dir.file("p");
    spit(path, "abc");
    aFile* file = aFile_Open(path.c_str(), aFILE_MODE_READ);
    ASSERT_NE(file, nullptr);
    size_t position = 777;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 0u);
    aFile_Close(&file);
}

} // namespace
