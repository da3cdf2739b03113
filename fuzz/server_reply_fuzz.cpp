// Feeds arbitrary reply bodies to the update-server reply parsers, the build
// ordering and the base64 decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "UpdateServerReply.h"
#include "UpdateServerRequest.h"
#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    const auto lines = UpdateServerReply::SplitLines(body);
    for (const auto& line : lines)
        if (line.empty() || line.find('\n') != std::string_view::npos) std::abort();
    (void)UpdateServerReply::StatusOk(lines);

    std::string build, firmware;
    UpdateServerReply::ParseQueryBuild(lines, build, firmware);

    std::map<std::string, std::string> builds;
    UpdateServerReply::ParseBuildList(lines, builds);
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    if (sorted.size() != builds.size()) std::abort();

    unsigned serial = 0, buildNumber = 0;
    (void)UpdateServerReply::ParseRecoveryInfo(lines, &serial, &buildNumber);

    for (std::string_view text : {std::string_view(body), lines.size() > 1 ? lines[1] : std::string_view()}) {
        size_t length = 0;
        auto bytes = base64_decode(text.data(), text.size(), &length);
        if (bytes && (length > text.size() / 4 * 3 || bytes[length] != 0)) std::abort();
    }
    return 0;
}
