// Runs the Python module simulator (tests/sim/sim_module.py) as a child
// process: waits (bounded) for its "READY <json>" line, and ends it with
// SIGTERM (then SIGKILL) when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace objects_test {

class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args, int timeoutMs = 15000)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> argv{"/usr/bin/python3", std::string(TESSALINE_SOURCE_DIR) + "/tests/sim/sim_module.py"};
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);  // no control commands: stdin at end
            std::vector<char*> raw;
            for (std::string& a : argv)
                raw.push_back(a.data());
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string line;
        while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            if (read(m_out, &c, 1) != 1)
                break;
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("READY ", 0) == 0) {
                m_info = line.substr(6);
                break;
            }
            line.clear();
        }
    }

    ~SimProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 50 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
                usleep(100 * 1000);
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
        if (m_out >= 0)
            close(m_out);
    }

    bool ready() const { return !m_info.empty(); }
    const std::string& info() const { return m_info; }

    // Value of the n-th occurrence of "key": in the READY line (quotes removed).
    std::string field(const std::string& key, size_t occurrence = 0) const
    {
        size_t at = 0;
        for (size_t i = 0;; ++i) {
            at = m_info.find("\"" + key + "\":", at);
            if (at == std::string::npos)
                return {};
            at += key.size() + 3;
            if (i == occurrence)
                break;
        }
        while (at < m_info.size() && m_info[at] == ' ')
            ++at;
        std::string value;
        const bool quoted = at < m_info.size() && m_info[at] == '"';
        for (size_t i = at + (quoted ? 1 : 0); i < m_info.size(); ++i) {
            const char c = m_info[i];
            if (quoted ? c == '"' : (c == ',' || c == '}' || c == ']'))
                break;
            value += c;
        }
        return value;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_info;
};

}  // namespace objects_test
