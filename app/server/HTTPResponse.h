#pragma once
#include <string>

// One reply of the update server: the URL asked for, the HTTP status and the
// body exactly as it arrived.
class HTTPResponse {
public:
    explicit HTTPResponse(const char* request);

    void set_status(long status) { status_ = status; }
    void process(const char* data, size_t length) { response_.append(data, length); }
    // Lets the receiver size the body once when the server announces a length.
    void reserve(size_t length) { response_.reserve(length); }

    // Zero-terminated and writable so callers can tokenise it in place.
    char* get_response() { return response_.data(); }
    long get_status() const { return status_; }
    const char* get_request() const { return request_.c_str(); }

    const std::string& body() const { return response_; }
    // Hands the body over without a copy (firmware payloads are megabytes).
    std::string take_response() { return std::move(response_); }

private:
    std::string request_;
    long status_ = 0;
    std::string response_;
};
