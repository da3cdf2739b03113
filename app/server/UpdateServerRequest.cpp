#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <exception>
#include <optional>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerReply.h"

const char* const UpdateServerRequest::DEFAULT_URL = "http://updates.korvanta.example/cgi/u";

namespace {


using Params = std::map<std::string, std::string>;
using Lines = std::vector<std::string_view>;

std::string serialText(unsigned serial)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Runs one request and accepts its reply: HTTP 200 and a status line
// beginning "ok". `lines` point into `response`, which must stay in place.
bool perform(const char* name, const char* url, Params& params, std::optional<HTTPResponse>& response, Lines& lines)
{
    try {
        response.emplace(HTTPRequest::GET(url ? url : UpdateServerRequest::DEFAULT_URL, params));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    if (response->get_status() != 200) {
        if (std::string_view(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response->get_status()),
                     response->get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response->get_status()),
                     response->get_response());
        return false;
    }
    lines = UpdateServerReply::SplitLines(response->body());
    if (!UpdateServerReply::StatusOk(lines)) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response->get_request());
        return false;
    }
    return true;
}

// stoi-like: leading blanks, optional sign, at least one digit; stops at the
// first non-digit. Empty when there is no number or it overflows an int.
std::optional<int> versionPart(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return std::nullopt;
    return static_cast<int>(value);
}

// (major, minor, patch), each reduced to 8 bits; empty for a malformed text.
std::optional<std::array<uint8_t, 3>> versionKey(const std::string& version)
{
    const auto parts = UpdateServerRequest::SplitTessalineVersion(version);
    if (parts.size() != 3) return std::nullopt;
    std::array<uint8_t, 3> key{};
    for (size_t i = 0; i < 3; ++i) {
        const auto value = versionPart(parts[i]);
        if (!value) {
            Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", version.c_str());
            return std::nullopt;
        }
        key[i] = static_cast<uint8_t>(*value);
    }
    return key;
}

using VersionKey = std::optional<std::array<uint8_t, 3>>;

// Strict weak order: a newer well-formed version first; every malformed
// version after all well-formed ones, malformed ones equivalent to each other.
bool _sortVersion(const VersionKey& a, const VersionKey& b)
{
    if (a && b) return *a > *b;
    return a.has_value() && !b.has_value();
}

}  // namespace

bool UpdateServerRequest::ping(const char* url)
{
    Params params{{"op", "hi"}, {"rv", "2"}};
    std::optional<HTTPResponse> response;
    Lines lines;
    return perform("ping", url, params, response, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmware, const char* url)
{
    Params params{{"op", "qu"}, {"sn", serialText(serial)}};
    std::optional<HTTPResponse> response;
    Lines lines;
    if (!perform("QueryBuild", url, params, response, lines)) return false;
    UpdateServerReply::ParseQueryBuild(lines, build, firmware);
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const char* firmware, const char* build, std::string& data,
                                   const char* url, bool noCal)
{
    Params params{{"bld", build ? build : ""},
                  {"fw", firmware ? firmware : ""},
                  {"no_cal", noCal ? "true" : "false"},
                  {"op", "bird"},
                  {"sn", serialText(serial)}};
    std::optional<HTTPResponse> response;
    Lines lines;
    if (!perform("GetBuild", url, params, response, lines)) return false;
    data.clear();
    if (lines.size() > 1) {
        // Cut the payload line out of the body in place: it can be megabytes.
        const size_t offset = static_cast<size_t>(lines[1].data() - response->body().data());
        const size_t length = lines[1].size();
        std::string body = response->take_response();
        body.erase(0, offset);
        body.resize(length);
        data = std::move(body);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, std::map<std::string, std::string>& builds, const char* url)
{
    builds.clear();
    Params params{{"op", "builds"}, {"sn", serialText(serial)}};
    std::optional<HTTPResponse> response;
    Lines lines;
    if (!perform("GetBuildList", url, params, response, lines)) return false;
    UpdateServerReply::ParseBuildList(lines, builds);
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial, unsigned* build,
                                          const char* url)
{
    if (fingerprint == nullptr) return false;
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
                  fingerprint[3]);
    Params params{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    std::optional<HTTPResponse> response;
    Lines lines;
    if (!perform("GetRecoveryInfo", url, params, response, lines)) return false;
    auto line = [&](size_t n) { return n < lines.size() ? std::string(lines[n]) : std::string(); };
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", line(0).c_str(), line(1).c_str(),
             line(2).c_str());
    if (!UpdateServerReply::ParseRecoveryInfo(lines, serial, build)) {
        Log::log(DEBUG_ServerComm, "%s: reply is not a serial number and build [%s]\n", "GetRecoveryInfo",
                 response->get_request());
        return false;
    }
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitTessalineVersion(std::string version)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
        if (parts.size() > 3) return {};
    }
    if (parts.size() != 3) return {};
    return parts;
}

std::vector<UpdateServerRequest::BuildEntry> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds)
{
    struct Keyed {
        VersionKey key;
        BuildEntry entry;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(builds.size());
    for (const auto& [build, version] : builds) keyed.push_back({versionKey(version), {build, version}});
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const Keyed& a, const Keyed& b) { return _sortVersion(a.key, b.key); });
    std::vector<BuildEntry> sorted;
    sorted.reserve(keyed.size());
    for (auto& k : keyed) sorted.push_back(std::move(k.entry));
    return sorted;
}
