#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Parsing of the update server's line-oriented replies, kept apart from the
// transport so it can be tested and fuzzed on plain text.
namespace UpdateServerReply {

// Lines split at line feeds; runs of line feeds count as one (no empty lines).
// A carriage return stays part of its line.
std::vector<std::string_view> SplitLines(std::string_view body);

// True when there is a first line and it begins with "ok".
bool StatusOk(const std::vector<std::string_view>& lines);

// Newest build (line 2) and firmware identifier (line 3, up to the first
// carriage return). A missing line leaves its output unchanged.
void ParseQueryBuild(const std::vector<std::string_view>& lines, std::string& build, std::string& firmware);

// One entry per line after the status line: "build;version". Lines shorter
// than 3 characters or without any field are skipped; the first line for a
// build wins.
void ParseBuildList(const std::vector<std::string_view>& lines, std::map<std::string, std::string>& builds);

// Serial number (line 2, hexadecimal) and build (line 3, "0x" hexadecimal,
// leading 0 octal, else decimal). A missing line leaves its output unchanged;
// false when a line is present but is not a 32-bit number.
bool ParseRecoveryInfo(const std::vector<std::string_view>& lines, unsigned* serial, unsigned* build);

// Whole-text unsigned 32-bit conversion; base 0 takes the base from the
// prefix as strtoul does. Leading blanks and a trailing carriage return are
// tolerated, nothing else.
std::optional<uint32_t> ParseUnsigned(std::string_view text, int base);

}  // namespace UpdateServerReply
