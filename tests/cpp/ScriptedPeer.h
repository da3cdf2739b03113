// A scripted module on a loopback TCP port: it records every packet the host
// sends, answers the address query, and hands everything else to the test's
// handler, which may answer through send(). Bounded everywhere: the thread
// polls in 50 ms steps and ends with the object.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "aLinkSpec.h"

namespace objects_test {

struct WirePacket {
    uint8_t address = 0;
    std::vector<uint8_t> data;
};

// Polls a condition every 10 ms, up to the bound.
inline bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class ScriptedPeer {
public:
    using Handler = std::function<void(const WirePacket& packet, ScriptedPeer& peer)>;

    explicit ScriptedPeer(Handler handler = nullptr) : m_handler(std::move(handler))
    {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(local);
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 && listen(m_listen, 4) == 0 &&
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            m_port = ntohs(local.sin_port);
        m_thread = std::thread([this] { run(); });
    }

    ~ScriptedPeer()
    {
        m_stop = true;
        m_thread.join();
        closeConnection();
        close(m_listen);
    }

    uint16_t port() const { return m_port; }

    // Specifier of this peer as a TCP/IP module.
    linkSpec spec(uint32_t serialNumber = 0x00C0FFEE) const
    {
        linkSpec s{};
        s.type = TCPIP;
        s.serialNumber = serialNumber;
        s.ipAddress = htonl(INADDR_LOOPBACK);
        s.ipPort = m_port;
        return s;
    }

    // Address the module announces; 0: it never answers the address query.
    void setAddress(uint8_t address) { m_address = address; }

    void send(uint8_t address, const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> wire{address, static_cast<uint8_t>(data.size())};
        wire.insert(wire.end(), data.begin(), data.end());
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_connection >= 0)
            (void)::send(m_connection, wire.data(), wire.size(), MSG_NOSIGNAL);
    }

    // Packets received so far, except heartbeat answers and route packets.
    std::vector<WirePacket> received()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    void clearReceived()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.clear();
    }
    size_t count(const std::function<bool(const WirePacket&)>& match)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const WirePacket& p : m_received)
            n += match(p) ? 1 : 0;
        return n;
    }
    int connections() const { return m_connections; }
    int closedConnections() const { return m_closed; }

    // Waits (bounded) until the predicate over this peer holds.
    bool waitFor(const std::function<bool()>& predicate, int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            lock.unlock();
            const bool done = predicate();
            lock.lock();
            return done;
        });
    }

private:
    void closeConnection()
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_connection >= 0) {
            close(m_connection);
            m_connection = -1;
        }
    }

    void run()
    {
        std::vector<uint8_t> pending;
        while (!m_stop) {
            int connection;
            {
                std::lock_guard<std::mutex> lock(m_sendMutex);
                connection = m_connection;
            }
            pollfd p{connection >= 0 ? connection : m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            if (connection < 0) {
                const int accepted = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (accepted >= 0) {
                    std::lock_guard<std::mutex> lock(m_sendMutex);
                    m_connection = accepted;
                    ++m_connections;
                    pending.clear();
                }
                notify();
                continue;
            }
            uint8_t buffer[4096];
            const ssize_t n = recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                closeConnection();
                ++m_closed;
                notify();
                continue;
            }
            pending.insert(pending.end(), buffer, buffer + n);
            while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
                WirePacket packet{pending[0], std::vector<uint8_t>(pending.begin() + 2, pending.begin() + 2 + pending[1])};
                pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
                handle(packet);
            }
        }
    }

    void handle(const WirePacket& packet)
    {
        const bool heartbeatAnswer = packet.data.size() == 2 && packet.data[0] == 0;
        if (packet.address == 0xAF || heartbeatAnswer)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back(packet);
        }
        if (packet.address == 0xAD && packet.data.empty()) {
            if (m_address)
                send(m_address, {});
        } else if (m_handler) {
            m_handler(packet, *this);
        }
        notify();
    }

    void notify()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
    }

    Handler m_handler;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::mutex m_sendMutex;
    int m_connection = -1;
    std::atomic<uint8_t> m_address{2};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::atomic<int> m_closed{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<WirePacket> m_received;
    std::thread m_thread;
};

}  // namespace objects_test
