#include <gtest/gtest.h>

#include "LoopbackHttpServer.h"
#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"

namespace {

using Map = std::map<std::string, std::string>;

// One server answering every request with the same reply.
struct Fixed {
    explicit Fixed(CannedReply r) : reply(std::move(r)), server([this](const std::string&) { return reply; }) {}
    CannedReply reply;
    LoopbackHttpServer server;
    std::string url = server.url();
    std::string target() const { return server.targets().empty() ? "" : server.targets().back(); }
};

struct StatusCase {
    int status;
    const char* body;
    bool accepted;
};

// Acceptance is the same for every request: HTTP 200 and a first line
// beginning with "ok".
const StatusCase kStatusCases[] = {
    {200, "ok\n", true},
    {200, "okay\n", true},
    {200, "\n\nok", true},           // leading empty lines do not count as lines
    {200, "ok\r\n", true},
    {200, "error\n", false},
    {200, "o\nk\n", false},
    {200, "", false},
    {200, "\n\n", false},
    {200, " ok\n", false},
    {500, "ok\n", false},
    {404, "ok\n", false},
};

TEST(UpdateServerRequest, AllRequestsAcceptOnlyOkStatusLineWith200)
{
    for (const auto& c : kStatusCases) {
        Fixed f({c.status, c.body, 0, false});
        std::string build = "keep", fw = "keep", data = "keep";
        Map builds;
        unsigned fp[4] = {1, 2, 3, 4}, serial = 7, bld = 9;
        SCOPED_TRACE(std::to_string(c.status) + " [" + c.body + "]");
        EXPECT_EQ(UpdateServerRequest::ping(f.url.c_str()), c.accepted);
        EXPECT_EQ(UpdateServerRequest::QueryBuild(1, build, fw, f.url.c_str()), c.accepted);
        EXPECT_EQ(UpdateServerRequest::GetBuild(1, "F", "2", data, f.url.c_str(), false), c.accepted);
        EXPECT_EQ(UpdateServerRequest::GetBuildList(1, builds, f.url.c_str()), c.accepted);
        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &bld, f.url.c_str()), c.accepted);
        // Outputs the reply did not supply keep their values; GetBuild's data
        // is emptied once the status line is accepted.
        EXPECT_EQ(build, "keep");
        EXPECT_EQ(fw, "keep");
        EXPECT_EQ(data, c.accepted ? "" : "keep");
        EXPECT_EQ(serial, 7u);
        EXPECT_EQ(bld, 9u);
    }
}

TEST(UpdateServerRequest, RequestTargetsCarrySortedParameters)
{
    Fixed f({200, "ok\n", 0, false});
    std::string s1, s2, data;
    Map builds;
    const unsigned fp[4] = {0xDEADBEEF, 0x1, 0xABCDEF, 0};
    unsigned serial = 0, bld = 0;

    UpdateServerRequest::ping(f.url.c_str());
    EXPECT_EQ(f.target(), "/cgi/u?op=hi&rv=2&");
    UpdateServerRequest::QueryBuild(0x0001ABCD, s1, s2, f.url.c_str());
    EXPECT_EQ(f.target(), "/cgi/u?op=qu&sn=0001ABCD&");
    UpdateServerRequest::GetBuild(0x40F5849A, "FW7", "99528558", data, f.url.c_str(), true);
    EXPECT_EQ(f.target(), "/cgi/u?bld=99528558&fw=FW7&no_cal=true&op=bird&sn=40F5849A&");
    UpdateServerRequest::GetBuild(0xA, "FW7", "1", data, f.url.c_str(), false);
    EXPECT_EQ(f.target(), "/cgi/u?bld=1&fw=FW7&no_cal=false&op=bird&sn=0000000A&");
    UpdateServerRequest::GetBuildList(0xFFFFFFFF, builds, f.url.c_str());
    EXPECT_EQ(f.target(), "/cgi/u?op=builds&sn=FFFFFFFF&");
    UpdateServerRequest::GetRecoveryInfo(fp, &serial, &bld, f.url.c_str());
    EXPECT_EQ(f.target(), "/cgi/u?brief=true&fp=DEADBEEF%2000000001%2000ABCDEF%2000000000&op=fix&");
}

TEST(UpdateServerRequest, UnreachableServerIsFalseNotException)
{
    const std::string url = "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::ClosedPort()) + "/cgi/u";
    Map builds{{"old", "entry"}};
    std::string a, b;
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, a, b, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());  // emptied before asking
}

TEST(UpdateServerRequest, QueryBuildLines)
{
    struct Case {
        const char* body;
        const char* build;
        const char* firmware;
    };
    const Case cases[] = {
        {"ok\n123\nABC\n", "123", "ABC"},
        {"ok\n123\nABC\r\n", "123", "ABC"},
        {"ok\r\n123\r\nABC\rjunk\n", "123", "ABC"},
        {"ok\n\n\n456\n\nXYZ", "456", "XYZ"},
        {"ok\n789\n", "789", "keep"},
        {"ok\n", "keep", "keep"},
    };
    for (const auto& c : cases) {
        Fixed f({200, c.body, 0, false});
        std::string build = "keep", fw = "keep";
        EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x0001ABCD, build, fw, f.url.c_str())) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(fw, c.firmware) << c.body;
    }
}

TEST(UpdateServerRequest, GetBuildTakesSecondLineWhole)
{
    const std::string big(3 * 1024 * 1024, 'Q');
    struct Case {
        std::string body;
        std::string data;
    };
    const Case cases[] = {
        {"ok\nAAAA\n", "AAAA"},
        {"ok\n\nAAAA", "AAAA"},
        {"ok\nAAAA\r\n", "AAAA\r"},  // a carriage return stays in the line
        {"ok\nAAAA\nBBBB\n", "AAAA"},
        {"ok\n" + big + "\n", big},
    };
    for (const auto& c : cases) {
        Fixed f({200, c.body, 4096, false});
        std::string data;
        EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "F", "2", data, f.url.c_str(), false));
        EXPECT_EQ(data.size(), c.data.size());
        EXPECT_TRUE(data == c.data);
    }
}

TEST(UpdateServerRequest, RecoveryInfoBases)
{
    struct Case {
        const char* body;
        bool ok;
        unsigned serial;
        unsigned build;
    };
    const Case cases[] = {
        {"ok\n40F5849A\n0x10\n", true, 0x40F5849A, 16},
        {"ok\n40f5849a\n010\n", true, 0x40F5849A, 8},
        {"ok\n1ABCD\n10\n", true, 0x1ABCD, 10},
        {"ok\n0x1ABCD\r\n99528558\r\n", true, 0x1ABCD, 99528558},
        {"ok\n1ABCD\n", true, 0x1ABCD, 5},  // missing line leaves the build
        {"ok\nnot-hex\n10\n", false, 7, 5},
        {"ok\n1ABCD\n12abc\n", false, 7, 5},
        {"ok\n1ABCD\n08\n", false, 7, 5},            // 8 is not an octal digit
        {"ok\n1FFFFFFFF\n1\n", false, 7, 5},         // wider than 32 bits
    };
    for (const auto& c : cases) {
        Fixed f({200, c.body, 0, false});
        const unsigned fp[4] = {1, 2, 3, 4};
        unsigned serial = 7, build = 5;
        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &build, f.url.c_str()), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(UpdateServerReply, BuildListLines)
{
    struct Case {
        const char* body;
        Map expected;
    };
    const Case cases[] = {
        {"ok\n100;2.12.0\n100;9.9.9\nx\n\n", {{"100", "2.12.0"}}},
        {"ok\n101\n", {{"101", ""}}},
        {"ok\n101;2.1.0\r\n102;;2.2.0\n", {{"101", "2.1.0"}, {"102", "2.2.0"}}},
        {"ok\n;;;\n12\n", {}},               // no field; too short
        {"ok\n;;7;1.0.0\n", {{"7", "1.0.0"}}},  // leading separators are skipped
        {"ok\n300;1.0.0;extra\n", {{"300", "1.0.0"}}},
        {"ok\n", {}},
    };
    for (const auto& c : cases) {
        Map builds;
        UpdateServerReply::ParseBuildList(UpdateServerReply::SplitLines(c.body), builds);
        EXPECT_EQ(builds, c.expected) << c.body;
    }
}

TEST(UpdateServerRequest, GetBuildListReplacesPreviousContents)
{
    Fixed f({200, "ok\n100;2.12.0\n200;2.13.0\n", 0, false});
    Map builds{{"999", "stale"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(1, builds, f.url.c_str()));
    EXPECT_EQ(builds, (Map{{"100", "2.12.0"}, {"200", "2.13.0"}}));
}

}  // namespace
