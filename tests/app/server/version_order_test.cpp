#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "UpdateServerRequest.h"

namespace {

using Map = std::map<std::string, std::string>;
using Strings = std::vector<std::string>;

TEST(SplitTessalineVersion, ExactlyThreeDottedParts)
{
    struct Case {
        const char* text;
        Strings parts;
    };
    const Case cases[] = {
        {"2.12.0", {"2", "12", "0"}},
        {"2.12", {}},
        {"2.12.0.1", {}},
        {"", {}},
        {"..", {"", "", ""}},
        {"a.b.c", {"a", "b", "c"}},
        {"1.2.3.", {}},
        {"...........", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(UpdateServerRequest::SplitTessalineVersion(c.text), c.parts) << c.text;
}

Strings versionsOf(const std::vector<UpdateServerRequest::BuildEntry>& sorted)
{
    Strings out;
    for (const auto& e : sorted) out.push_back(e.second);
    return out;
}

TEST(SortBuildsByVersion, NewestFirstMalformedLast)
{
    struct Case {
        Map builds;
        Strings order;  // expected versions, in listing order
    };
    const Case cases[] = {
        {{{"1", "2.9.0"}, {"2", "2.12.0"}, {"3", "2.10.5"}}, {"2.12.0", "2.10.5", "2.9.0"}},
        // Parts are reduced to 8 bits: 1.300.0 ranks as 1.44.0.
        {{{"1", "1.300.0"}, {"2", "1.45.0"}, {"3", "1.43.9"}}, {"1.45.0", "1.300.0", "1.43.9"}},
        {{{"1", "1.2.3"}, {"2", "1.2.10"}, {"3", "1.10.0"}, {"4", "10.0.0"}}, {"10.0.0", "1.10.0", "1.2.10", "1.2.3"}},
        // Leading blanks and a sign are allowed; conversion stops at a non-digit.
        {{{"1", " 3.0.0"}, {"2", "+2.0.0"}, {"3", "1.5.0rc1"}}, {" 3.0.0", "+2.0.0", "1.5.0rc1"}},
        // Malformed versions follow every well-formed one, wherever they started.
        {{{"1", "junk"}, {"2", "1.0.0"}, {"3", ""}, {"4", "2.0"}, {"5", "0.0.1"}, {"6", "x.1.2"}},
         {"1.0.0", "0.0.1", "junk", "", "2.0", "x.1.2"}},
        {{{"1", "99999999999.0.0"}, {"2", "0.0.0"}}, {"0.0.0", "99999999999.0.0"}},
        {{}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(versionsOf(UpdateServerRequest::SortBuildsByVersion(c.builds)), c.order);
}

TEST(SortBuildsByVersion, EqualVersionsKeepBuildOrderAndPairsStayTogether)
{
    const Map builds{{"30", "1.0.0"}, {"10", "1.0.0"}, {"20", "2.0.0"}, {"05", "bad"}, {"01", "bad"}};
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    const std::vector<UpdateServerRequest::BuildEntry> expected{
        {"20", "2.0.0"}, {"10", "1.0.0"}, {"30", "1.0.0"}, {"01", "bad"}, {"05", "bad"}};
    EXPECT_EQ(sorted, expected);
}

// Whatever build numbers the versions are filed under, the listing is the
// same sequence of versions: the ordering is consistent even with malformed
// entries mixed in (an inconsistent predicate makes this vary or crash).
TEST(SortBuildsByVersion, OrderIndependentOfInputArrangement)
{
    const Strings versions{"2.0.0", "bad", "1.9.9", "", "2.0.1", "1.2", "0.0.0", "7.x.1", "255.255.255", "1.9.9"};
    std::vector<size_t> perm(versions.size());
    std::iota(perm.begin(), perm.end(), 0);
    Strings reference;
    int rounds = 0;
    do {
        Map builds;
        for (size_t i = 0; i < perm.size(); ++i) builds.emplace(std::to_string(100 + i), versions[perm[i]]);
        Strings got = versionsOf(UpdateServerRequest::SortBuildsByVersion(builds));
        // Malformed ones may tie among themselves: compare them as a set.
        auto firstBad = std::find_if(got.begin(), got.end(),
                                     [](const std::string& v) { return UpdateServerRequest::SplitTessalineVersion(v).empty() || v == "7.x.1"; });
        std::sort(firstBad, got.end());
        if (reference.empty()) reference = got;
        ASSERT_EQ(got, reference);
    } while (std::next_permutation(perm.begin(), perm.end()) && ++rounds < 2000);
    const Strings expectedHead{"255.255.255", "2.0.1", "2.0.0", "1.9.9", "1.9.9", "0.0.0"};
    EXPECT_TRUE(std::equal(expectedHead.begin(), expectedHead.end(), reference.begin()));
}

}  // namespace
