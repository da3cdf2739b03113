#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>

#include "../firmware/BirdTestSupport.h"
#include "AtomicFile.h"
#include "UpdaterStore.h"

using birdtest::FileSizeLimit;
using birdtest::ListNames;
using birdtest::ReadAll;
using birdtest::ReadText;
using birdtest::RunBirdgen;
using birdtest::TempDir;
using birdtest::WriteAll;

namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { oldMask = ::umask(022); }
    void TearDown() override { ::umask(oldMask); }
    TempDir dir;
    std::string root = dir / "home/.korvanta/updater";
    mode_t oldMask = 0;
};

TEST_F(StoreTest, ConstructorCreatesTheRootWithMode0755) {
    UpdaterStore store(root.c_str());
    EXPECT_STREQ(store.BasePath(), root.c_str());
    EXPECT_TRUE(fs::is_directory(root));
    for (std::string p : {dir / "home", dir / "home/.korvanta", root}) EXPECT_EQ(ModeOf(p), 0755u) << p;
    EXPECT_NO_THROW(UpdaterStore again(root.c_str()));
}

TEST_F(StoreTest, RootThatIsAFileOrCannotBeMadeThrows) {
    std::string file = dir / "plain";
    WriteAll(file, {'x'});
    EXPECT_EQ(ThrownText([&] { UpdaterStore s(file.c_str()); }), "UpdaterStore: " + file + " exists and is a file");

    std::string below = file + "/updater";
    std::string text = ThrownText([&] { UpdaterStore s(below.c_str()); });
    EXPECT_EQ(text.rfind("UpdaterStore: Could not create directory " + below + " error ", 0), 0u) << text;

    UpdaterStore store(root.c_str());
    WriteAll(root + "/0001ABCD", {'x'});
    EXPECT_EQ(ThrownText([&] { store.AddDevice(0x0001ABCDu); }),
              "UpdaterStore: " + root + "/0001ABCD exists and is a file");
    for (const char* bad : {"", "..", "a/b"}) EXPECT_THROW(store.AddDevice(bad), std::runtime_error) << bad;
}

TEST_F(StoreTest, AddDeviceCreatesDirectoryAndAttributesOnce) {
    UpdaterStore store(root.c_str());
    UpdaterStoreItem item = store.AddDevice(0x0001ABCDu);
    const std::string deviceDir = root + "/0001ABCD";
    EXPECT_EQ(item.basePath, root);
    EXPECT_EQ(item.name, "0001ABCD");
    EXPECT_EQ(item.itemType, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(ModeOf(deviceDir), 0755u);
    EXPECT_EQ(ListNames(deviceDir), std::vector<std::string>{".settings"});
    std::string first = ReadText(deviceDir + "/.settings");
    EXPECT_EQ(first.rfind("CREATED_TIME=", 0), 0u);
    EXPECT_NE(first.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);

    UpdaterStoreItem again = store.AddDevice("0001ABCD");
    EXPECT_EQ(ReadText(deviceDir + "/.settings"), first);
    EXPECT_EQ(again.attributes.Entries(), item.attributes.Entries());
    EXPECT_EQ(ListNames(root), std::vector<std::string>{"0001ABCD"});

    // Attributes written through the item come back through a new one.
    item.attributes.Add("LATEST_DOWNLOAD", "77.bird");
    item.attributes.Save(nullptr);
    EXPECT_EQ(store.AddDevice(0x0001ABCDu).attributes.GetInt("LATEST_DOWNLOAD", 0), 77);
}

struct FindCase {
    const char* name;
    std::vector<std::string> dirs, files;  // entries made in the root
    std::string search;
    bool found;
    std::vector<std::string> acceptable;  // names a hit may carry
    store_item_t kind;
};

TEST_F(StoreTest, FindDeviceIsASubstringSearch) {
    const std::vector<FindCase> cases = {
        {"Exact", {"0001ABCD", "40F5849A"}, {}, "0001ABCD", true, {"0001ABCD"}, STORE_ITEM_DIRECTORY},
        {"Embedded", {"XX0001ABCD"}, {}, "0001ABCD", true, {"XX0001ABCD"}, STORE_ITEM_DIRECTORY},
        {"EitherOfTwo", {"A0001ABCD", "0001ABCDB"}, {}, "0001ABCD", true, {"A0001ABCD", "0001ABCDB"},
         STORE_ITEM_DIRECTORY},
        {"PlainFile", {}, {"0001ABCD.txt"}, "0001ABCD", true, {"0001ABCD.txt"}, STORE_ITEM_FILE},
        {"Absent", {"0001ABCE"}, {}, "0001ABCD", false, {}, STORE_ITEM_NONE},
        {"CaseMatters", {"0001abcd"}, {}, "0001ABCD", false, {}, STORE_ITEM_NONE},
        {"Empty", {}, {}, "0001ABCD", false, {}, STORE_ITEM_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string r = dir / (std::string("roots/") + c.name);
        UpdaterStore store(r.c_str());
        for (const auto& d : c.dirs) fs::create_directory(r + "/" + d);
        for (const auto& f : c.files) WriteAll(r + "/" + f, {'x'});

        UpdaterStoreItem item;
        EXPECT_EQ(store.FindDevice(c.search.c_str(), &item), c.found);
        EXPECT_EQ(store.FindDevice(c.search.c_str(), nullptr), c.found);
        if (c.found) {
            EXPECT_EQ(item.basePath, r);
            EXPECT_NE(std::find(c.acceptable.begin(), c.acceptable.end(), item.name), c.acceptable.end()) << item.name;
            EXPECT_EQ(item.itemType, c.kind);
        } else {
            EXPECT_FALSE(item.IsValid());
            EXPECT_EQ(item.itemType, STORE_ITEM_NONE);
        }
    }
}

TEST_F(StoreTest, FindDeviceBySerialUsesEightHexDigits) {
    UpdaterStore store(root.c_str());
    fs::create_directory(root + "/0001ABCD");
    UpdaterStoreItem item;
    EXPECT_TRUE(store.FindDevice(0x1ABCDu, &item));
    EXPECT_EQ(item.name, "0001ABCD");
    EXPECT_FALSE(store.FindDevice(0xABCDu, nullptr));
    EXPECT_FALSE(store.FindDevice(0x10001ABCu, nullptr));

    fs::remove_all(root);  // a root that cannot be listed finds nothing
    EXPECT_FALSE(store.FindDevice(0x1ABCDu, nullptr));
}

TEST_F(StoreTest, FindLocalBuildsSkipsDotFiles) {
    UpdaterStore store(root.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    const std::string d = device.Path();
    for (const char* f : {"12.bird", "345.bird", ".hidden", ".12.bird.tmp.1.0", "notes"}) WriteAll(d + "/" + f, {'b'});
    fs::create_directory(d + "/sub");

    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849Au, items));
    std::vector<std::pair<std::string, store_item_t>> got;
    for (const auto& i : items) {
        EXPECT_EQ(i.basePath, d);
        got.emplace_back(i.name, i.itemType);
    }
    std::sort(got.begin(), got.end());
    std::vector<std::pair<std::string, store_item_t>> expected = {
        {"12.bird", STORE_ITEM_FILE}, {"345.bird", STORE_ITEM_FILE}, {"notes", STORE_ITEM_FILE},
        {"sub", STORE_ITEM_DIRECTORY}};
    EXPECT_EQ(got, expected);
    // Listing writes nothing next to the build files.
    EXPECT_FALSE(fs::exists(d + "/12.bird/.settings"));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x11111111u, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(StoreTest, FileExistsSearchesTheItemDirectory) {
    UpdaterStore store(root.c_str());
    UpdaterStoreItem device = store.AddDevice(1u);
    WriteAll(device.Path() + "/1234.bird", {'b'});
    EXPECT_TRUE(device.FileExists("1234.bird"));
    EXPECT_TRUE(device.FileExists("234"));
    EXPECT_FALSE(device.FileExists("999.bird"));
}

// ---- writing files --------------------------------------------------------

TEST_F(StoreTest, WriteFileReplacesContents) {
    UpdaterStore store(root.c_str());
    UpdaterStoreItem device = store.AddDevice(2u);
    const std::string path = device.Path() + "/9.bird";
    const std::vector<unsigned char> first = birdtest::Bytes(5000, 1), second = birdtest::Bytes(10, 2);

    EXPECT_EQ(device.WriteFile("9.bird", first.data(), first.size()), aErrNone);
    EXPECT_EQ(ReadAll(path), first);
    EXPECT_EQ(ModeOf(path), 0644u);
    EXPECT_EQ(device.WriteFile("9.bird", second.data(), second.size()), aErrNone);
    EXPECT_EQ(ReadAll(path), second);
    EXPECT_EQ(device.WriteFile("empty.bird", second.data(), 0), aErrNone);
    EXPECT_TRUE(ReadAll(device.Path() + "/empty.bird").empty());

    EXPECT_EQ(device.WriteFile("9.bird", nullptr, 4), aErrNotFound);
    EXPECT_EQ(ReadAll(path), second);
    EXPECT_EQ(device.WriteFile("missing/9.bird", second.data(), second.size()), aErrNotFound);
    EXPECT_EQ(UpdaterStoreItem().WriteFile("x", second.data(), second.size()), aErrNotFound);
    EXPECT_EQ(ListNames(device.Path()), (std::vector<std::string>{".settings", "9.bird", "empty.bird"}));
}

TEST_F(StoreTest, FailedWriteLeavesTheOldFileWhole) {
    UpdaterStore store(root.c_str());
    UpdaterStoreItem device = store.AddDevice(3u);
    const std::string path = device.Path() + "/9.bird";
    const std::vector<unsigned char> old = birdtest::Bytes(64, 3), fresh = birdtest::Bytes(100000, 4);
    ASSERT_EQ(device.WriteFile("9.bird", old.data(), old.size()), aErrNone);

    size_t tempSize = 0;
    AtomicFile::beforeRename = [&tempSize](const std::string& temp) {
        tempSize = ReadAll(temp).size();
        return false;  // the process dies between writing and renaming
    };
    EXPECT_EQ(device.WriteFile("9.bird", fresh.data(), fresh.size()), aErrIO);
    AtomicFile::beforeRename = nullptr;
    EXPECT_EQ(tempSize, fresh.size());
    EXPECT_EQ(ReadAll(path), old);

    {
        FileSizeLimit full(4096);  // the disk fills up part-way
        EXPECT_EQ(device.WriteFile("9.bird", fresh.data(), fresh.size()), aErrIO);
    }
    EXPECT_EQ(ReadAll(path), old);
    EXPECT_EQ(ListNames(device.Path()), (std::vector<std::string>{".settings", "9.bird"}));
}

// ---- reading BIRD files ----------------------------------------------------

TEST_F(StoreTest, ReadBirdFileChecksThenLoads) {
    UpdaterStore store(root.c_str());
    UpdaterStoreItem device = store.AddDevice(4u);
    const std::string d = device.Path();
    std::string out;
    ASSERT_EQ(RunBirdgen({"-o", d + "/55.bird", "--firmware", "0x1000:pattern:64", "--identity", "55,3.1.4,4,M"}, &out),
              0)
        << out;
    ASSERT_EQ(RunBirdgen({"-o", d + "/broken.bird", "--firmware", "0:pattern:64", "--truncate-zlib", "8"}, &out), 0)
        << out;
    ASSERT_EQ(RunBirdgen({"-o", d + "/sig.bird", "--firmware", "0:pattern:64", "--signature", "BIRD"}, &out), 0)
        << out;

    BirdFile file = device.ReadBirdFile("55.bird");
    EXPECT_EQ(file.GetBuild(), 55u);
    EXPECT_EQ(file.GetVersion(), "3.1.4");
    EXPECT_EQ(file.path, d + "/55.bird");

    struct Case {
        const char* name;
        std::string text;
    } cases[] = {
        {"sig.bird", "Invalid bird " + d + "/sig.bird"},
        {"absent.bird", "Invalid bird " + d + "/absent.bird"},
        {"broken.bird", "Failed to load bird data"},
    };
    for (const auto& c : cases) EXPECT_EQ(ThrownText([&] { device.ReadBirdFile(c.name); }), c.text) << c.name;
}

}  // namespace
