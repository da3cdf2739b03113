#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "Log.h"

namespace {


struct ReceiveContext {
    HTTPResponse* response;
    CURL* handle;
    bool sized;
    bool tooLarge;
};

long envLong(const char* name, long fallback, long minimum, long maximum)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > maximum) {
        Log::log(0, "Ignoring %s=%s: expected a number from %ld to %ld\n", name, text, minimum, maximum);
        return fallback;
    }
    return value;
}

size_t _rcv_data(void* data, size_t size, size_t count, void* context)
{
    auto* ctx = static_cast<ReceiveContext*>(context);
    const size_t length = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)),
             static_cast<int>(std::min<size_t>(length, 100)), static_cast<const char*>(data));

    const size_t held = ctx->response->body().size();
    if (length > HTTPRequest::kMaxReplyBytes - held) {
        ctx->tooLarge = true;
        return 0;  // makes libcurl abandon the transfer
    }
    if (!ctx->sized) {
        ctx->sized = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(ctx->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && static_cast<uint64_t>(announced) <= HTTPRequest::kMaxReplyBytes)
            ctx->response->reserve(static_cast<size_t>(announced));
    }
    ctx->response->process(static_cast<const char*>(data), length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

struct HandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

long HTTPRequest::ConnectTimeoutMs()
{
    return envLong("UPDATER_HTTP_CONNECT_TIMEOUT_MS", kDefaultConnectTimeoutMs, 1, 600000);
}

long HTTPRequest::StallTimeoutS()
{
    return envLong("UPDATER_HTTP_STALL_TIMEOUT_S", kDefaultStallTimeoutS, 1, 3600);
}

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& params)
{
    std::string request = url ? url : "";
    if (!params.empty()) {
        request += '?';
        for (const auto& [key, value] : params) {
            request += key;
            request += '=';
            request += value;
            request += '&';
        }
    }
    return request;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& params)
{
    std::unique_ptr<CURL, HandleDeleter> handle(curl_easy_init());
    const std::string request = BuildURL(url, params);
    HTTPResponse response(request.c_str());
    if (!handle)
        throw std::runtime_error("Could not create curl instance");

    ReceiveContext context{&response, handle.get(), false, false};
    CURL* h = handle.get();
    CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &context);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, request.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    if (rc == CURLE_OK) {
        // Turning off a feature this libcurl lacks is not an error.
        rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
        if (rc == CURLE_NOT_BUILT_IN || rc == CURLE_UNKNOWN_OPTION) rc = CURLE_OK;
    }
    // The request may run on a worker thread: no signals for resolver time-outs.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Only web URLs: a file:// or other scheme in -u must not be followed.
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, ConnectTimeoutMs());
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, StallTimeoutS());

    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
        rc = curl_easy_perform(h);
    }
    long status = 0;
    if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

    if (context.tooLarge)
        throw std::runtime_error("Reply larger than " + std::to_string(kMaxReplyBytes) + " bytes");
    if (rc != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(rc));

    response.set_status(status);
    return response;
}
