#pragma once
#include <map>
#include <string>

#include "HTTPResponse.h"

// Blocking HTTP GET for the update-server client; one libcurl handle per call.
//
// A dead or stalled server must not hang the updater, so every request is
// bounded: the connection must be made within the connect time-out and the
// transfer is abandoned when less than one byte per second arrives during
// the stall time-out. Both can be shortened through the environment
// (UPDATER_HTTP_CONNECT_TIMEOUT_MS, UPDATER_HTTP_STALL_TIMEOUT_S).
class HTTPRequest {
public:
    static constexpr long kDefaultConnectTimeoutMs = 10000;
    static constexpr long kDefaultStallTimeoutS = 30;
    // Far above any firmware file; stops a runaway reply from eating memory.
    static constexpr size_t kMaxReplyBytes = 256u * 1024u * 1024u;

    // Throws std::runtime_error when the request cannot be made or completed.
    // HTTP error statuses are not failures: check get_status().
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& params);

    // Base URL, then "?key=value&" per parameter in key order (no encoding).
    static std::string BuildURL(const char* url, const std::map<std::string, std::string>& params);

    static long ConnectTimeoutMs();
    static long StallTimeoutS();
};
