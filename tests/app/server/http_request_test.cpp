#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "HTTPRequest.h"
#include "LoopbackHttpServer.h"

namespace {

using Params = std::map<std::string, std::string>;

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old, hadOld_ = true;
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (hadOld_) ::setenv(name_, old_.c_str(), 1); else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool hadOld_ = false;
};

struct UrlCase {
    const char* base;
    Params params;
    const char* expected;
};

TEST(HttpRequestUrl, KeysInByteOrderEachFollowedByAmpersandNoEncoding)
{
    const UrlCase cases[] = {
        {"http://h/cgi/u", {{"rv", "2"}, {"op", "hi"}}, "http://h/cgi/u?op=hi&rv=2&"},
        {"http://h/cgi/u", {}, "http://h/cgi/u"},
        {"http://h/x", {{"b", ""}}, "http://h/x?b=&"},
        // Upper-case keys sort before lower-case ones (byte order).
        {"http://h/x", {{"a", "1"}, {"Z", "2"}}, "http://h/x?Z=2&a=1&"},
        // Values travel unchanged; callers encode reserved characters themselves.
        {"http://h/x", {{"fp", "A%20B"}, {"q", "a b&c"}}, "http://h/x?fp=A%20B&q=a b&c&"},
    };
    for (const auto& c : cases) EXPECT_EQ(HTTPRequest::BuildURL(c.base, c.params), c.expected) << c.expected;
}

TEST(HttpRequestGet, SendsQueryAndReturnsStatusAndBody)
{
    struct Case {
        CannedReply reply;
        long status;
    };
    const Case cases[] = {
        {{200, "ok\n123\nABC\n", 0, false}, 200},
        {{200, "", 0, false}, 200},                                // empty body
        {{404, "no such thing", 0, false}, 404},                   // error status is not an exception
        {{302, "moved", 0, false}, 302},                           // redirects are not followed
        {{200, std::string(100000, 'x') + "tail", 7, false}, 200}, // many chunks, in order
    };
    for (const auto& c : cases) {
        LoopbackHttpServer server([&](const std::string&) { return c.reply; });
        Params params{{"rv", "2"}, {"op", "hi"}};
        const std::string url = server.url();
        HTTPResponse response = HTTPRequest::GET(url.c_str(), params);
        EXPECT_EQ(response.get_status(), c.status);
        EXPECT_EQ(response.body(), c.reply.body);
        EXPECT_STREQ(response.get_request(), (url + "?op=hi&rv=2&").c_str());
        ASSERT_EQ(server.targets().size(), 1u);
        EXPECT_EQ(server.targets()[0], "/cgi/u?op=hi&rv=2&");
    }
}

TEST(HttpRequestGet, FailuresThrowWithLibcurlText)
{
    Params none;
    const std::string closed = "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::ClosedPort()) + "/cgi/u";
    try {
        HTTPRequest::GET(closed.c_str(), none);
        FAIL() << "unreachable server did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Couldn't connect to server");
    }
    // Only web schemes are followed.
    EXPECT_THROW(HTTPRequest::GET("file:///etc/hostname", none), std::runtime_error);
    EXPECT_THROW(HTTPRequest::GET("", none), std::runtime_error);
}

TEST(HttpRequestGet, StalledReplyIsAbandoned)
{
    ScopedEnv stall("UPDATER_HTTP_STALL_TIMEOUT_S", "1");
    LoopbackHttpServer server([](const std::string&) { return CannedReply{200, "never sent", 0, true}; });
    Params none;
    const std::string url = server.url();
    try {
        HTTPRequest::GET(url.c_str(), none);
        FAIL() << "stalled transfer did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Timeout was reached");
    }
}

TEST(HttpRequestTimeouts, EnvironmentOverridesOnlyWhenValid)
{
    struct Case {
        const char* value;
        long connectMs;
        long stallS;
    };
    const Case cases[] = {
        {nullptr, HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
        {"", HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
        {"2", 2, 2},
        {"abc", HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
        {"5x", HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
        {"0", HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
        {"-3", HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
        {"99999999999999999999", HTTPRequest::kDefaultConnectTimeoutMs, HTTPRequest::kDefaultStallTimeoutS},
    };
    for (const auto& c : cases) {
        ScopedEnv a("UPDATER_HTTP_CONNECT_TIMEOUT_MS", c.value);
        ScopedEnv b("UPDATER_HTTP_STALL_TIMEOUT_S", c.value);
        EXPECT_EQ(HTTPRequest::ConnectTimeoutMs(), c.connectMs) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(HTTPRequest::StallTimeoutS(), c.stallS) << (c.value ? c.value : "(unset)");
    }
}

}  // namespace
