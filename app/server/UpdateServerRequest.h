#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

// The questions the updater asks the update server. Each is one GET with a
// few query parameters; each returns a plain success flag and never throws.
// `url` is the server's base URL; null means DEFAULT_URL.
class UpdateServerRequest {
public:
    static const char* const DEFAULT_URL;

    using BuildEntry = std::pair<std::string, std::string>;  // build text, version text

    static bool ping(const char* url);
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmware, const char* url);
    static bool GetBuild(unsigned serial, const char* firmware, const char* build, std::string& data,
                         const char* url, bool noCal);
    static bool GetBuildList(unsigned serial, std::map<std::string, std::string>& builds, const char* url);
    static bool GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial, unsigned* build, const char* url);

    // Newest version first; versions that are not three dotted numbers go
    // last; equal versions keep build-text order.
    static std::vector<BuildEntry> SortBuildsByVersion(const std::map<std::string, std::string>& builds);
    // The three parts of "a.b.c", or an empty vector for any other shape.
    static std::vector<std::string> SplitTessalineVersion(std::string version);
};
