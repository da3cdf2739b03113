// The usage text against the golden copies shared with the end-to-end tests.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "FileText.h"
#include "Usage.h"

namespace {

std::string readGolden(const char* name)
{
    std::ifstream in(std::string(TESSALINE_SOURCE_DIR) + "/tests/e2e/golden/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string usageText(bool extended, bool full)
{
    FILE* file = tmpfile();
    _display_usage(file, extended, full);
    std::string out = readFileText(file);
    fclose(file);
    return out;
}

struct UsageCase {
    bool extended;
    bool full;
    const char* golden;
};

TEST(Usage, MatchesGoldenText)
{
    const UsageCase cases[] = {
        {false, false, "usage_short.txt"},
        {true, false, "usage_short.txt"}, // extended text only comes with the full text
        {false, true, "usage_full.txt"},
        {true, true, "usage_extended.txt"},
    };
    for (const UsageCase& c : cases)
        EXPECT_EQ(readGolden(c.golden), usageText(c.extended, c.full)) << c.golden;
}

} // namespace
