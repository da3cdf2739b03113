#include "UpdateServerReply.h"

#include "Log.h"

namespace UpdateServerReply {

namespace {


std::string_view stripCarriageReturn(std::string_view line)
{
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// Fields separated by runs of ';', CR or LF, as strtok would cut them.
std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        i = line.find_first_not_of(";\r\n", i);
        if (i == std::string_view::npos) break;
        size_t end = line.find_first_of(";\r\n", i);
        if (end == std::string_view::npos) end = line.size();
        fields.push_back(line.substr(i, end - i));
        i = end;
    }
    return fields;
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

std::vector<std::string_view> SplitLines(std::string_view body)
{
    std::vector<std::string_view> lines;
    size_t i = 0;
    while (i < body.size()) {
        size_t end = body.find('\n', i);
        if (end == std::string_view::npos) end = body.size();
        if (end > i) lines.push_back(body.substr(i, end - i));
        i = end + 1;
    }
    return lines;
}

bool StatusOk(const std::vector<std::string_view>& lines)
{
    return !lines.empty() && lines[0].starts_with("ok");
}

void ParseQueryBuild(const std::vector<std::string_view>& lines, std::string& build, std::string& firmware)
{
    if (lines.size() > 1) build = stripCarriageReturn(lines[1]);
    if (lines.size() > 2) {
        std::string_view id = lines[2];
        id = id.substr(0, id.find('\r'));
        firmware = id;
    }
}

void ParseBuildList(const std::vector<std::string_view>& lines, std::map<std::string, std::string>& builds)
{
    for (size_t n = 1; n < lines.size(); ++n) {
        const std::string_view line = lines[n];
        if (line.size() < 3) continue;
        const std::string entry(line);
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", entry.c_str());
        const auto fields = splitFields(line);
        if (fields.empty()) continue;
        std::string build(fields[0]);
        std::string version(fields.size() > 1 ? fields[1] : std::string_view());
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
        builds.emplace(std::move(build), std::move(version));
    }
}

std::optional<uint32_t> ParseUnsigned(std::string_view text, int base)
{
    text = stripCarriageReturn(text);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    const bool hexPrefix = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hexPrefix && (base == 0 || base == 16)) {
        base = 16;
        text.remove_prefix(2);
    } else if (base == 0) {
        base = text.size() > 1 && text[0] == '0' ? 8 : 10;
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = digitValue(c);
        if (digit >= base) return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

bool ParseRecoveryInfo(const std::vector<std::string_view>& lines, unsigned* serial, unsigned* build)
{
    std::optional<uint32_t> s, b;
    if (lines.size() > 1 && !(s = ParseUnsigned(lines[1], 16))) return false;
    if (lines.size() > 2 && !(b = ParseUnsigned(lines[2], 0))) return false;
    if (s && serial) *serial = *s;
    if (b && build) *build = *b;
    return true;
}

}  // namespace UpdateServerReply
