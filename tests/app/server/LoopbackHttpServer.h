#pragma once
// A scripted HTTP/1.1 server on 127.0.0.1 for tests of the update-server
// client. It answers each request with what the handler returns and records
// the request targets. Every wait is bounded; the destructor stops and joins.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct CannedReply {
    int status = 200;
    std::string body;
    size_t chunkSize = 0;    // >0: send the body with chunked encoding in pieces this size
    bool stallAfterHeaders = false;  // announce the body, then send nothing more
};

class LoopbackHttpServer {
public:
    using Handler = std::function<CannedReply(const std::string& target)>;

    explicit LoopbackHttpServer(Handler handler) : handler_(std::move(handler))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) throw std::runtime_error("socket");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ::close(listener_);
            throw std::runtime_error("bind/listen");
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }

    ~LoopbackHttpServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    std::string url(const std::string& path = "/cgi/u") const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    std::vector<std::string> targets() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }

    // A loopback port on which nothing listens (for connection failures).
    static int ClosedPort()
    {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
        ::close(s);
        return ntohs(addr.sin_port);
    }

private:
    bool waitReadable(int fd, int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }

    void run()
    {
        while (!stop_) {
            if (!waitReadable(listener_, 50)) continue;
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            serve(client);
            ::close(client);
        }
    }

    void sendAll(int fd, const std::string& data)
    {
        size_t sent = 0;
        while (sent < data.size() && !stop_) {
            ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    void serve(int client)
    {
        std::string head;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (stop_ || std::chrono::steady_clock::now() > deadline) return;
            if (!waitReadable(client, 50)) continue;
            char buffer[4096];
            ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            head.append(buffer, static_cast<size_t>(n));
        }
        const size_t start = head.find(' ') + 1;
        const std::string target = head.substr(start, head.find(' ', start) - start);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            targets_.push_back(target);
        }
        const CannedReply reply = handler_(target);
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nConnection: close\r\n";
        if (reply.chunkSize > 0) {
            out += "Transfer-Encoding: chunked\r\n\r\n";
            sendAll(client, out);
            for (size_t i = 0; i < reply.body.size(); i += reply.chunkSize) {
                const std::string piece = reply.body.substr(i, reply.chunkSize);
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
                sendAll(client, size + piece + "\r\n");
            }
            sendAll(client, "0\r\n\r\n");
            return;
        }
        out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
        if (reply.stallAfterHeaders) {
            sendAll(client, out);
            // Hold the connection open until the client gives up or the test ends.
            while (!stop_) {
                if (waitReadable(client, 50)) {
                    char buffer[256];
                    if (::recv(client, buffer, sizeof buffer, 0) <= 0) return;
                }
            }
            return;
        }
        sendAll(client, out + reply.body);
    }

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
};
