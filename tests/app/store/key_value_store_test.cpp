#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "../firmware/BirdTestSupport.h"
#include "AtomicFile.h"
#include "KeyValueStore.h"

using birdtest::FileSizeLimit;
using birdtest::ListNames;
using birdtest::ReadText;
using birdtest::TempDir;

namespace {

void WriteText(const std::string& path, const std::string& text) {
    birdtest::WriteAll(path, std::vector<unsigned char>(text.begin(), text.end()));
}

const std::regex kStamp(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4})");

struct LineCase {
    const char* line;
    bool stored;
    const char* key;
    const char* value;
};

TEST(KeyValueStoreParse, LineRules) {
    const std::vector<LineCase> cases = {
        {"A=b\n", true, "A", "b"},
        {"  key \t =  value with blanks \t \n", true, "key", "value with blanks"},
        {"A=b=c\n", true, "A", "b=c"},
        {"URL = http://h/x?a=1&b=2\n", true, "URL", "http://h/x?a=1&b=2"},
        {"#x=1\n", false, "", ""},
        {" #x=1\n", true, "#x", "1"},
        {"x\n", false, "", ""},
        {"\n", false, "", ""},
        {"ab", false, "", ""},
        {"A=\n", true, "A", ""},
        {"A=   \n", true, "A", ""},
        {"no equals sign\n", false, "", ""},
        {"=value\n", false, "", ""},
        {"   =value\n", false, "", ""},
        {"K=v\r\n", true, "K", "v"},
        {"K=last line without newline", true, "K", "last line without newline"},
    };
    for (const auto& c : cases) {
        std::string key = "unset", value = "unset";
        EXPECT_EQ(KeyValueStore::ParseLine(c.line, key, value), c.stored) << c.line;
        if (c.stored) {
            EXPECT_EQ(key, c.key) << c.line;
            EXPECT_EQ(value, c.value) << c.line;
        }
    }
}

class KeyValueStoreFile : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir / "attrs";
};

TEST_F(KeyValueStoreFile, LoadAppliesRulesAndLaterDuplicatesWin) {
    WriteText(path,
              "#comment=1\n"
              "  A = first \n"
              "\n"
              "x\n"
              "B=b=c\n"
              "A=second\n"
              " #x=1\n"
              "noequals\n");
    KeyValueStore store(path.c_str());
    std::map<std::string, std::string> expected = {{"A", "second"}, {"B", "b=c"}, {"#x", "1"}};
    EXPECT_EQ(store.Entries(), expected);
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.FileName(), path);
}

TEST_F(KeyValueStoreFile, TooLongLineEndsLoading) {
    WriteText(path, "A=1\nB=" + std::string(3000, 'x') + "\nC=3\n");
    KeyValueStore store(path.c_str());
    EXPECT_STREQ(store["A"], "1");
    EXPECT_EQ(store["B"], nullptr);
    EXPECT_EQ(store["C"], nullptr);

    // A line that just fits (2047 characters with its newline) is read whole.
    std::string fits = "L=" + std::string(KeyValueStore::MAX_LINE - 4, 'y');
    WriteText(path, fits + "\nZ=1\n");
    KeyValueStore second(path.c_str());
    EXPECT_EQ(second.GetString("L"), fits.substr(2));
    EXPECT_STREQ(second["Z"], "1");
}

TEST_F(KeyValueStoreFile, MissingFileIsCreatedWithTwoTimeStamps) {
    KeyValueStore store(path.c_str());
    std::string text = ReadText(path);
    std::smatch m;
    std::regex twoLines("CREATED_TIME=(.*)\nUPDATED_TIME=(.*)\n");
    ASSERT_TRUE(std::regex_match(text, m, twoLines)) << text;
    EXPECT_TRUE(std::regex_match(m[1].str(), kStamp)) << m[1];
    EXPECT_EQ(m[1], m[2]);
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.GetString("CREATED_TIME"), m[1].str());
}

TEST_F(KeyValueStoreFile, MissingDirectoryLeavesOnlyTheStampsInMemory) {
    std::string inside = dir / "no/such/dir/.settings";
    KeyValueStore store(inside.c_str());
    EXPECT_FALSE(std::filesystem::exists(dir / "no"));
    EXPECT_NE(store["CREATED_TIME"], nullptr);
    EXPECT_NE(store["UPDATED_TIME"], nullptr);
    EXPECT_EQ(store.Entries().size(), 2u);
}

TEST_F(KeyValueStoreFile, TypedValuesRoundTripAsText) {
    KeyValueStore store;
    store.AddHex("H", 255);
    store.Add("I", -42);
    store.Add("D", 2.5);
    store.Add("S", "text with = sign");
    std::string s = "from string";
    store.Add("T", s);
    store.Add("BT", "true");
    store.Add("B1", "1");
    store.Add("B0", "0");
    store.Save(path.c_str());

    KeyValueStore back(path.c_str());
    EXPECT_STREQ(back["H"], "0x000000FF");
    EXPECT_EQ(back.GetHex("H", 7), 255u);
    EXPECT_EQ(back.GetInt("H", 7), 0);
    EXPECT_EQ(back.GetInt("I", 7), -42);
    EXPECT_STREQ(back["D"], "2.500000");
    EXPECT_DOUBLE_EQ(back.GetDouble("D", 0), 2.5);
    EXPECT_EQ(back.GetString("S"), "text with = sign");
    EXPECT_EQ(back.GetString("T", "def"), "from string");
    EXPECT_FALSE(back.GetBOOL("BT", true));
    EXPECT_TRUE(back.GetBOOL("B1", false));
    EXPECT_FALSE(back.GetBOOL("B0", true));
    back.Add("BIG", "1FFFFFFFF");
    EXPECT_EQ(back.GetHex("BIG", 0), 0xFFFFFFFFu);
    back.Add("BUILD", "1234.bird");
    EXPECT_EQ(back.GetInt("BUILD", 0), 1234);
}

TEST_F(KeyValueStoreFile, NumericGetterOfAbsentKeyCreatesEmptyEntry) {
    KeyValueStore store;
    EXPECT_EQ(store.GetInt("ABSENT", 5), 5);
    EXPECT_FALSE(store.IsDirty());
    ASSERT_NE(store["ABSENT"], nullptr);
    EXPECT_STREQ(store["ABSENT"], "");
    EXPECT_EQ(store.GetString("ABSENT", "default"), "");
    EXPECT_EQ(store.GetString("OTHER", "default"), "default");
    EXPECT_EQ(store.GetString("OTHER", nullptr), "");
    EXPECT_EQ(store["OTHER"], nullptr);
    EXPECT_EQ(store.GetHex("H", 9u), 9u);
    EXPECT_TRUE(store.GetBOOL("B", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("F", 1.5), 1.5);

    store.Add("REAL", 1);
    store.Save(path.c_str());
    std::string text = ReadText(path);
    EXPECT_NE(("\n" + text).find("\nABSENT=\n"), std::string::npos) << text;
}

TEST_F(KeyValueStoreFile, DirtyOnlyWhenAValueChanges) {
    WriteText(path, "A=1\nUPDATED_TIME=sentinel\n");
    KeyValueStore store(path.c_str());
    struct Step {
        const char* what;
        std::function<void()> act;
        bool dirty;
    };
    const std::vector<Step> steps = {
        {"same int", [&] { store.Add("A", 1); }, false},
        {"same text", [&] { store.Add("A", "1"); }, false},
        {"new key, empty value", [&] { store.Add("E", ""); }, false},
        {"empty store merged", [&] { store.Add(KeyValueStore()); }, false},
        {"changed", [&] { store.Add("A", 2); }, true},
    };
    for (const auto& s : steps) {
        s.act();
        EXPECT_EQ(store.IsDirty(), s.dirty) << s.what;
    }
    store.Save(nullptr);
    EXPECT_NE(store.GetString("UPDATED_TIME"), "sentinel");
    EXPECT_FALSE(store.IsDirty());

    WriteText(path, "A=1\nUPDATED_TIME=sentinel\n");
    KeyValueStore clean(path.c_str());
    clean.Add("A", 1);
    clean.Save(nullptr);
    EXPECT_EQ(ReadText(path), "A=1\nUPDATED_TIME=sentinel\n");

    KeyValueStore other;
    other.Add("A", 1);
    KeyValueStore merged(path.c_str());
    merged.Add(other);
    EXPECT_TRUE(merged.IsDirty());
    merged.Clear();
    EXPECT_TRUE(merged.Entries().empty());
    EXPECT_TRUE(merged.IsDirty());
}

TEST_F(KeyValueStoreFile, SaveWritesKeysInByteOrder) {
    KeyValueStore store;
    store.Add("lower", "1");
    store.Add("UPDATED_TIME", "x");
    store.Add("LATEST_DOWNLOAD", "12.bird");
    store.Add("LAST_DOWNLOAD_DATE", "d");
    store.Add("_under", "u");
    store.Save(path.c_str());
    std::string text = ReadText(path);
    std::vector<std::string> keys;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) keys.push_back(line.substr(0, line.find('=')));
    EXPECT_EQ(keys, (std::vector<std::string>{"LAST_DOWNLOAD_DATE", "LATEST_DOWNLOAD", "UPDATED_TIME", "_under",
                                               "lower"}));
    EXPECT_TRUE(std::regex_match(store.GetString("UPDATED_TIME"), kStamp));
}

TEST_F(KeyValueStoreFile, SaveWithoutAnyNameUsesTheDefaultFile) {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    KeyValueStore store;
    store.Add("K", "v");
    store.Save();
    std::string text = ReadText(dir / ".settings");
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(store.FileName(), ".settings");
    EXPECT_NE(text.find("K=v\n"), std::string::npos);
}

TEST_F(KeyValueStoreFile, NewFileGetsTheUsualMode) {
    mode_t old = ::umask(022);
    KeyValueStore store(path.c_str());
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// A failed save must leave the previous file whole and no temporary behind.
TEST_F(KeyValueStoreFile, FailedSaveKeepsTheOldFile) {
    const std::string original = "A=old\nCREATED_TIME=c\nUPDATED_TIME=u\n";
    bool tempWasComplete = false;
    struct Failure {
        const char* name;
        std::function<void(KeyValueStore&)> save;
    };
    const std::vector<Failure> failures = {
        {"crash before rename",
         [&tempWasComplete](KeyValueStore& s) {
             AtomicFile::beforeRename = [&tempWasComplete](const std::string& temp) {
                 tempWasComplete = ReadText(temp).find("A=new") != std::string::npos;
                 return false;
             };
             s.Save(nullptr);
             AtomicFile::beforeRename = nullptr;
         }},
        {"disk full",
         [](KeyValueStore& s) {
             FileSizeLimit limit(8);
             s.Save(nullptr);
         }},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        WriteText(path, original);
        KeyValueStore store(path.c_str());
        store.Add("A", "new " + std::string(100, 'n'));
        f.save(store);
        EXPECT_EQ(ReadText(path), original);
        EXPECT_TRUE(store.IsDirty());
        EXPECT_EQ(ListNames(dir.path().string()), std::vector<std::string>{"attrs"});

        store.Save(nullptr);  // and the next attempt succeeds
        EXPECT_FALSE(store.IsDirty());
        KeyValueStore back(path.c_str());
        EXPECT_EQ(back.GetString("A"), "new " + std::string(100, 'n'));
    }
    EXPECT_TRUE(tempWasComplete);
}

}  // namespace
