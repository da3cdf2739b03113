#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TempDir.h"
#include "aDirectory.h"

namespace {

void touch(const std::string& path, const std::string& content = "")
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

mode_t permissions(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Keeps the process umask fixed for a test and restores it afterwards.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : saved_(umask(mask)) {}
    ~UmaskScope() { umask(saved_); }

private:
    mode_t saved_;
};

class DirectoryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    TempDir dir;
};

TEST(BuildPath, JoinsWithUnconditionalSeparators)
{
    EXPECT_EQ(BuildPath("a", "b", "c", nullptr), "a/b/c");
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
    EXPECT_EQ(BuildPath("/home/user", ".korvanta", "updater", nullptr), "/home/user/.korvanta/updater");
    const std::string longPart(5000, 'x');
    EXPECT_EQ(BuildPath(longPart.c_str(), "y", nullptr).size(), 5002u) << "no length limit";
}

TEST(BuildPathInto, InsertsSeparatorsOnlyWhereMissing)
{
    const struct {
        const char* name;
        const char* parts[4];
        const char* expected;
    } cases[] = {
        {"plain", {"a", "b", "c", nullptr}, "a/b/c"},
        {"trailing slash", {"a/", "b", nullptr, nullptr}, "a/b"},
        {"leading slash", {"a", "/b", nullptr, nullptr}, "a/b"},
        {"both", {"a/", "/b", nullptr, nullptr}, "a//b"},
        {"root", {"/", "etc", nullptr, nullptr}, "/etc"},
        {"one component", {"alone", nullptr, nullptr, nullptr}, "alone"},
        {"empty first", {"", "rel", nullptr, nullptr}, "rel"},
    };
    for (const auto& c : cases) {
        char buffer[64];
        ASSERT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, c.parts[0], c.parts[1], c.parts[2],
                                       c.parts[3], nullptr),
                  aErrNone)
            << c.name;
        EXPECT_STREQ(buffer, c.expected) << c.name;
    }
    char joined[16];
    ASSERT_EQ(aDirectory_JoinPath(joined, sizeof joined, "dir", "file"), aErrNone);
    EXPECT_STREQ(joined, "dir/file");
}

TEST(BuildPathInto, RefusesWhatItCannotDoSafely)
{
    char buffer[16];
    strcpy(buffer, "a");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "b", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer + 2, nullptr), aErrParam)
        << "a component inside the buffer";
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 16, "a", nullptr), aErrParam);

    char big[64];
    EXPECT_EQ(aDirectory_BuildPath(big, sizeof big, "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                   nullptr),
              aErrNone)
        << "first plus nine";
    EXPECT_STREQ(big, "0/1/2/3/4/5/6/7/8/9");
    EXPECT_EQ(aDirectory_BuildPath(big, sizeof big, "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                   "10", nullptr),
              aErrParam)
        << "eleven components";

    char small[8];
    memset(small, '#', sizeof small);
    EXPECT_EQ(aDirectory_BuildPath(small, 7, "abc", "def", nullptr), aErrOverrun)
        << "seven characters and the zero need eight";
    EXPECT_EQ(aDirectory_BuildPath(small, 7, "abc/", "def", nullptr), aErrOverrun);
    EXPECT_EQ(aDirectory_BuildPath(small, 8, "abc", "def", nullptr), aErrNone);
    EXPECT_STREQ(small, "abc/def");
}

TEST(BackwardsMemcmp, FindsTheLastOccurrence)
{
    const char* text = "a/b/c/d";
    EXPECT_EQ(backwards_memcmp(text, "/"), text + 5);
    EXPECT_EQ(backwards_memcmp(text, "b/c"), text + 2);
    EXPECT_EQ(backwards_memcmp(text, "a/b/c/d"), text);
    EXPECT_EQ(backwards_memcmp(text, ""), text);
    EXPECT_EQ(backwards_memcmp(text, "x"), nullptr);
    EXPECT_EQ(backwards_memcmp(text, "a/b/c/d/"), nullptr);
    EXPECT_EQ(backwards_memcmp(nullptr, "a"), nullptr);
    EXPECT_EQ(backwards_memcmp(text, nullptr), nullptr);
}

TEST_F(DirectoryTest, EnsureCreatesEveryMissingLevelWithTheMode)
{
    UmaskScope mask(022);
    const struct {
        const char* name;
        std::string path;
        mode_t mode;
        std::vector<std::string> created;
    } cases[] = {
        {"two levels below an existing one", dir.file("a/b"), 0755, {dir.file("a"), dir.file("a/b")}},
        {"doubled separators", dir.file("c//d/"), 0755, {dir.file("c"), dir.file("c/d")}},
        {"another mode", dir.file("e/f/g"), 0700, {dir.file("e"), dir.file("e/f"), dir.file("e/f/g")}},
        {"already there", dir.path(), 0755, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), c.mode), aErrNone);
        EXPECT_TRUE(aDirectory_Exists(c.path.c_str()));
        for (const std::string& level : c.created)
            EXPECT_EQ(permissions(level), c.mode) << level;
    }
}

TEST_F(DirectoryTest, EnsureWorksOnRelativePaths)
{
    char saved[4096];
    ASSERT_EQ(aDirectory_CWD(saved, sizeof saved), aErrNone);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(aDirectory_Ensure("rel/one", 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists("rel/one"));
    ASSERT_EQ(chdir(saved), 0);
}

TEST_F(DirectoryTest, EnsureFailsWhereItCannotCreate)
{
    touch(dir.file("plain"));
    EXPECT_EQ(aDirectory_Ensure(dir.file("plain").c_str(), 0755), aErrPermission)
        << "a file of that name is not a directory";
    EXPECT_EQ(aDirectory_Ensure(dir.file("plain/below").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    if (geteuid() != 0) {
        ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0555), 0);
        EXPECT_EQ(aDirectory_Ensure(dir.file("ro/x/y").c_str(), 0755), aErrPermission);
        EXPECT_FALSE(aDirectory_Exists(dir.file("ro/x").c_str()));
        chmod(dir.file("ro").c_str(), 0755);
    }
}

TEST_F(DirectoryTest, ExistsOnlyForDirectories)
{
    touch(dir.file("file"));
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("file").c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

struct Listing {
    std::vector<std::string> names;
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> dirs;
    size_t stopAfter = SIZE_MAX;
    std::string prefix;

    static bool collect(const aDirectoryListData* data, void* context)
    {
        auto* self = static_cast<Listing*>(context);
        std::string path = data->path;
        EXPECT_EQ(path.compare(0, self->prefix.size(), self->prefix), 0) << path;
        self->names.push_back(path.substr(self->prefix.size()));
        self->sizes.push_back(data->size);
        self->dirs.push_back(data->isDirectory);
        return self->names.size() < self->stopAfter;
    }
};

TEST_F(DirectoryTest, ListVisitsEveryEntryWithItsDetails)
{
    touch(dir.file("five"), "12345");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    Listing listing;
    listing.prefix = dir.path() + "/";
    ASSERT_EQ(aDirectory_List(dir.path().c_str(), Listing::collect, &listing), aErrNone);
    std::vector<std::string> sorted = listing.names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{".", "..", "five", "sub"}));
    for (size_t i = 0; i < listing.names.size(); ++i) {
        if (listing.names[i] == "five") {
            EXPECT_EQ(listing.sizes[i], 5u);
            EXPECT_EQ(listing.dirs[i], 0u);
        } else {
            EXPECT_NE(listing.dirs[i], 0u) << listing.names[i];
        }
    }

    Listing first;
    first.prefix = listing.prefix;
    first.stopAfter = 1;
    ASSERT_EQ(aDirectory_List(dir.path().c_str(), Listing::collect, &first), aErrNone);
    EXPECT_EQ(first.names.size(), 1u) << "false from the callback stops the listing";

    EXPECT_EQ(aDirectory_List(dir.file("missing").c_str(), Listing::collect, &listing), aErrNotFound);
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, nullptr), aErrParam);
}

TEST_F(DirectoryTest, ListSkipsEntriesWhosePathWouldBeCut)
{
    // Nest directories until the path is near the listing limit, then add a long name.
    std::string deep = dir.path();
    const std::string level(200, 'd');
    const size_t target = aDIR_LIST_PATH_SIZE - 100;
    while (deep.size() < target) {
        const size_t room = target - deep.size() - 1;
        deep += "/" + level.substr(0, std::max<size_t>(1, std::min(room, level.size())));
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    ASSERT_LT(deep.size() + 1 + 5, size_t{aDIR_LIST_PATH_SIZE});
    ASSERT_GE(deep.size() + 1 + 200, size_t{aDIR_LIST_PATH_SIZE});
    touch(deep + "/short");
    touch(deep + "/" + std::string(200, 'L'));
    Listing listing;
    listing.prefix = deep + "/";
    ASSERT_EQ(aDirectory_List(deep.c_str(), Listing::collect, &listing), aErrNone);
    std::sort(listing.names.begin(), listing.names.end());
    EXPECT_EQ(listing.names, (std::vector<std::string>{".", "..", "short"}));
}

TEST_F(DirectoryTest, DeleteRemovesOnlyEmptyDirectories)
{
    ASSERT_EQ(mkdir(dir.file("empty").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("full").c_str(), 0755), 0);
    touch(dir.file("full/x"));
    EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrNone);
    EXPECT_EQ(aDirectory_Delete(dir.file("full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(dir.file("missing").c_str()), aErrUnknown);
    EXPECT_TRUE(aDirectory_Exists(dir.file("full").c_str()));
}

TEST_F(DirectoryTest, DeleteTreeRemovesEverythingButFollowsNoLinks)
{
    ASSERT_EQ(mkdir(dir.file("keep").c_str(), 0755), 0);
    touch(dir.file("keep/precious"), "x");
    ASSERT_EQ(aDirectory_Ensure(dir.file("tree/a/b").c_str(), 0755), aErrNone);
    touch(dir.file("tree/top"));
    touch(dir.file("tree/a/mid"));
    touch(dir.file("tree/a/b/leaf"));
    ASSERT_EQ(symlink(dir.file("keep").c_str(), dir.file("tree/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(dir.file("tree").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists(dir.file("tree").c_str()));
    struct stat info;
    EXPECT_EQ(stat(dir.file("keep/precious").c_str(), &info), 0) << "the link target survives";

    EXPECT_EQ(aDirectory_DeleteTree(dir.file("missing").c_str()), aErrNotFound);
    touch(dir.file("notadir"));
    EXPECT_EQ(aDirectory_DeleteTree(dir.file("notadir").c_str()), aErrNotFound);
}

TEST_F(DirectoryTest, DeleteTreeStopsAtAFileItCannotRemove)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root removes anything";
    ASSERT_EQ(aDirectory_Ensure(dir.file("t/locked").c_str(), 0755), aErrNone);
    touch(dir.file("t/locked/stuck"));
    ASSERT_EQ(chmod(dir.file("t/locked").c_str(), 0555), 0);
    testing::internal::CaptureStderr();
    const aErr result = aDirectory_DeleteTree(dir.file("t").c_str());
    const std::string errors = testing::internal::GetCapturedStderr();
    chmod(dir.file("t/locked").c_str(), 0755);
    EXPECT_EQ(result, aErrUnknown);
    EXPECT_TRUE(aDirectory_Exists(dir.file("t").c_str()));
    EXPECT_NE(errors.find("aDirectory_DeleteTree"), std::string::npos) << errors;
    EXPECT_NE(errors.find("---error unlink-ing file [" + dir.file("t/locked/stuck") + "]"),
              std::string::npos)
        << errors;
}

TEST(DirectoryServices, CurrentAndExecutablePaths)
{
    char cwd[4096];
    ASSERT_EQ(aDirectory_CWD(cwd, sizeof cwd), aErrNone);
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
    EXPECT_STREQ(cwd, expected);
    char tiny[2];
    EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);

    char exe[4096];
    ASSERT_EQ(aDirectory_ExecutableFilePath(exe, sizeof exe), aErrNone);
    EXPECT_NE(std::string(exe).find("platform_directory_test"), std::string::npos) << exe;
    char cut[5];
    ASSERT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
    EXPECT_EQ(std::string(cut), std::string(exe).substr(0, 4));
    EXPECT_EQ(aDirectory_ExecutableFilePath(nullptr, 8), aErrParam);
}

TEST(DirectoryServices, HomeDirectoryFitsOrIsRefused)
{
    char home[4096];
    ASSERT_EQ(aDirectory_GetHomeDirectory(home, sizeof home), aErrNone);
    EXPECT_GT(strlen(home), 0u);
    EXPECT_TRUE(aDirectory_Exists(home) || home[0] == '/') << home;
    char small[2];
    memset(small, '#', sizeof small);
    if (strlen(home) >= sizeof small) {
        EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof small), aErrOverrun);
    }
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
}

} // namespace
