// TCP/IP enumeration by multicast query. Everything runs inside network
// namespaces this test makes: the test process moves into a fresh one, and
// each scripted responder (a forked child) sits in its own, joined to ours by
// a veth pair. Nothing reaches a real network.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Module.h"
#include "SystemClass.h"
#include "aDiscovery.h"

namespace {

struct Reply {
    uint8_t address;
    uint16_t port;
    uint32_t serial;
    uint8_t model;
    size_t length = 16;
};

bool run(const std::string& command)
{
    return system(command.c_str()) == 0;
}

// A new link drops what it is given until the kernel has activated it
// (reported as operational state UP), which may take up to a second.
bool waitUntilUp(const std::string& interface)
{
    for (int i = 0; i < 100; ++i) {
        if (run("ip -o link show " + interface + " | grep -q 'state UP'"))
            return true;
        usleep(50 * 1000);
    }
    return false;
}

// Reads one byte within the bound; false on timeout or end of stream.
bool readByte(int fd, int timeoutMs, char* byte)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && read(fd, byte, 1) == 1;
}

// A child in its own network namespace, reachable over the veth pair
// host<n> (10.<net>.0.1) -- mod<n> (10.<net>.0.2), answering queries on its side.
class Responder {
public:
    // Answers every query with these replies.
    Responder(int n, std::vector<Reply> replies)
        : Responder(n, [this, replies](int control, int status) { return answer(control, status, replies); }, 0)
    {
    }
    // Runs the module simulator there, answering queries for its modules.
    struct Simulator {
        std::vector<std::string> args;
    };
    Responder(int n, const Simulator& simulator)
        : Responder(n, [this, simulator](int control, int status) { return simulate(control, status, simulator.args); },
                    0)
    {
    }

private:
    Responder(int n, const std::function<int(int control, int status)>& body, int) : m_n(n)
    {
        int control[2], status[2];
        if (pipe2(control, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(control[1]);
            close(status[0]);
            _exit(enterNetwork(control[0], status[1]) ? body(control[0], status[1]) : 1);
        }
        close(control[0]);
        close(status[1]);
        m_control = control[1];
        m_status = status[0];
        char byte = 0;
        if (m_pid < 0 || !readByte(m_status, 5000, &byte))
            return;  // no namespace of its own
        const std::string host = "host" + std::to_string(n), mod = "mod" + std::to_string(n);
        m_ok = run("ip link add " + host + " type veth peer name " + mod + " netns " + std::to_string(m_pid)) &&
               run("ip addr add " + hostAddress() + "/24 dev " + host) && run("ip link set " + host + " up") &&
               write(m_control, "g", 1) == 1 && readByte(m_status, 15000, &byte) && byte == 'L' &&
               waitUntilUp(host);
    }

public:
    ~Responder()
    {
        run("ip link del host" + std::to_string(m_n) + " 2>/dev/null");  // takes its peer along
        if (m_control >= 0)
            close(m_control);  // the child ends when its control pipe closes
        if (m_pid > 0) {
            int status = 0;
            for (int i = 0; i < 50 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
                usleep(100 * 1000);
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
        if (m_status >= 0)
            close(m_status);
    }

    bool ok() const { return m_ok; }
    std::string hostAddress() const { return "10." + std::to_string(70 + m_n) + ".0.1"; }
    std::string moduleAddress() const { return "10." + std::to_string(70 + m_n) + ".0.2"; }

    // Queries seen so far (the child reports each one with a byte).
    int queries()
    {
        char byte;
        while (readByte(m_status, 0, &byte))
            ++m_queries;
        return m_queries;
    }

private:
    // In the child: a namespace of its own, whose end of the veth pair the
    // parent adds before it says go.
    bool enterNetwork(int control, int status)
    {
        char byte = 0;
        if (unshare(CLONE_NEWNET) != 0 || write(status, "n", 1) != 1 || !readByte(control, 5000, &byte))
            return false;
        const std::string mod = "mod" + std::to_string(m_n);
        return run("ip link set lo up") && run("ip addr add " + moduleAddress() + "/24 dev " + mod) &&
               run("ip link set " + mod + " up") && waitUntilUp(mod);
    }

    int simulate(int control, int status, std::vector<std::string> args)
    {
        int out[2];
        if (pipe(out) != 0)
            return 1;
        args.insert(args.begin(), {"/usr/bin/python3", std::string(TESSALINE_SOURCE_DIR) + "/tests/sim/sim_module.py"});
        args.insert(args.end(), {"--discovery", "--discovery-interface", moduleAddress()});
        const pid_t sim = fork();
        if (sim == 0) {
            dup2(out[1], STDOUT_FILENO);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        while (readByte(out[0], 15000, &c) && c != '\n')
            line += c;
        int result = 1;
        if (line.rfind("READY ", 0) == 0 && write(status, "L", 1) == 1) {
            pollfd p{control, POLLIN, 0};
            poll(&p, 1, 60000);  // until the parent closes the control pipe
            result = 0;
        }
        kill(sim, SIGTERM);
        int ignored = 0;
        waitpid(sim, &ignored, 0);
        return result;
    }

    int answer(int control, int status, const std::vector<Reply>& replies)
    {
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1, off = 0;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(kTCPIPDiscoveryQueryPort);
        ip_mreq membership{};
        inet_pton(AF_INET, kTCPIPDiscoveryGroup, &membership.imr_multiaddr);
        inet_pton(AF_INET, moduleAddress().c_str(), &membership.imr_interface);
        if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
            bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
            setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0 ||
            setsockopt(sock, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off)) != 0 || write(status, "L", 1) != 1)
            return 1;
        for (;;) {
            pollfd p[2] = {{sock, POLLIN, 0}, {control, POLLIN, 0}};
            if (poll(p, 2, 30000) <= 0 || p[1].revents)
                return 0;  // parent gone or done
            uint8_t query[64];
            sockaddr_in from{};
            socklen_t fromLength = sizeof(from);
            const ssize_t n = recvfrom(sock, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 1 || query[0] != 1)
                continue;
            if (write(status, "q", 1) != 1)
                return 1;
            from.sin_port = htons(kTCPIPDiscoveryReplyPort);
            for (const Reply& r : replies) {
                uint8_t reply[16] = {0, r.address, uint8_t(r.port), uint8_t(r.port >> 8), uint8_t(r.serial),
                                     uint8_t(r.serial >> 8), uint8_t(r.serial >> 16), uint8_t(r.serial >> 24),
                                     0, 0, 0, 0, r.model, 0, 0, 0};
                sendto(sock, reply, r.length, 0, reinterpret_cast<sockaddr*>(&from), sizeof(from));
            }
        }
    }

    int m_n;
    pid_t m_pid = -1;
    int m_control = -1;
    int m_status = -1;
    int m_queries = 0;
    bool m_ok = false;
};

std::vector<linkSpec> enumerate(uint32_t networkInterface, uint8_t* count = nullptr)
{
    std::vector<linkSpec> specs;
    const uint8_t accepted = aDiscovery_EnumerateModules(
        TCPIP,
        [](const linkSpec* spec, bool* ok, void* ref) {
            static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
            *ok = true;
            return true;
        },
        &specs, networkInterface);
    if (count)
        *count = accepted;
    return specs;
}

uint32_t address(const std::string& text)
{
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return a.s_addr;
}

class TCPIPDiscovery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The test process leaves the machine's network for good.
        s_isolated = unshare(CLONE_NEWNET) == 0 && run("ip link set lo up");
    }
    void SetUp() override
    {
        if (!s_isolated)
            GTEST_SKIP() << "cannot make a network namespace here (needs CAP_SYS_ADMIN)";
    }
    static bool s_isolated;
};
bool TCPIPDiscovery::s_isolated = false;

TEST_F(TCPIPDiscovery, RepliesBecomeSpecifiers)
{
    Responder net(1, {{4, 5000, 0x11111111, 13}, {6, 0x1234, 0x22222222, 17}, {8, 7000, 0x33333333, 20, 12}});
    ASSERT_TRUE(net.ok());
    uint8_t count = 0;
    const std::vector<linkSpec> specs = enumerate(aDiscovery_AnyInterface(), &count);
    ASSERT_EQ(specs.size(), 3u);
    EXPECT_EQ(count, 3);
    struct Expect {
        uint32_t serial, module, port, model;
    } expected[] = {{0x11111111, 4, 5000, 13}, {0x22222222, 6, 0x1234, 17}, {0x33333333, 8, 7000, 255}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(specs[i].type, TCPIP);
        EXPECT_EQ(specs[i].serialNumber, expected[i].serial);
        EXPECT_EQ(specs[i].routerSerialNumber, expected[i].serial);
        EXPECT_EQ(specs[i].module, expected[i].module);
        EXPECT_EQ(specs[i].router, expected[i].module);
        EXPECT_EQ(specs[i].ipPort, expected[i].port);
        EXPECT_EQ(specs[i].model, expected[i].model);  // a 12-byte reply has no model: 255
        EXPECT_EQ(specs[i].ipAddress, address(net.moduleAddress()));
    }
    EXPECT_EQ(net.queries(), 1);
}

TEST_F(TCPIPDiscovery, UnusableAndRepeatedRepliesAreDropped)
{
    // A reply without a serial number names nothing; a module answering
    // twice is one module.
    Responder net(1, {{4, 5000, 0x44444444, 13, 6}, {6, 5001, 0x55555555, 13}, {6, 5001, 0x55555555, 13}});
    ASSERT_TRUE(net.ok());
    const std::vector<linkSpec> specs = enumerate(aDiscovery_AnyInterface());
    ASSERT_EQ(specs.size(), 1u);
    EXPECT_EQ(specs[0].serialNumber, 0x55555555u);
}

TEST_F(TCPIPDiscovery, SilentModuleGivesNothing)
{
    Responder net(1, std::vector<Reply>{});
    ASSERT_TRUE(net.ok());
    EXPECT_TRUE(enumerate(aDiscovery_AnyInterface()).empty());
    EXPECT_EQ(net.queries(), 1);  // it was asked
}

TEST_F(TCPIPDiscovery, OneQueryPerInterfaceOrOnlyTheChosenOne)
{
    Responder first(1, {{4, 5000, 0x0000AAAA, 13}});
    Responder second(2, {{4, 5000, 0x0000BBBB, 13}});
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());

    std::vector<linkSpec> specs = enumerate(aDiscovery_AnyInterface());
    ASSERT_EQ(specs.size(), 2u);
    std::vector<uint32_t> serials{specs[0].serialNumber, specs[1].serialNumber};
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<uint32_t>{0x0000AAAA, 0x0000BBBB}));
    EXPECT_EQ(first.queries(), 1);
    EXPECT_EQ(second.queries(), 1);

    specs = enumerate(address(second.hostAddress()));
    ASSERT_EQ(specs.size(), 1u);
    EXPECT_EQ(specs[0].serialNumber, 0x0000BBBBu);
    EXPECT_EQ(specs[0].ipAddress, address(second.moduleAddress()));
    EXPECT_EQ(first.queries(), 1);
    EXPECT_EQ(second.queries(), 2);
}

TEST_F(TCPIPDiscovery, FindBySerialNumber)
{
    Responder net(1, {{4, 5000, 0x0000CAFE, 13}, {6, 5001, 0x40F5849A, 17}});
    ASSERT_TRUE(net.ok());
    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x40F5849A, aDiscovery_AnyInterface());
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec->ipPort, 5001u);
    EXPECT_EQ(spec->model, 17u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x0BADBEEF, aDiscovery_AnyInterface()), nullptr);
    spec = aDiscovery_FindFirstModule(TCPIP, aDiscovery_AnyInterface());
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x0000CAFEu);
    aLinkSpec_Destroy(&spec);
}

TEST_F(TCPIPDiscovery, ModuleFoundBySerialNumberAnswersOverTCP)
{
    Responder net(1, Responder::Simulator{{"--serial", "40F5849A", "--transport", "tcp", "--host", "10.71.0.2",
                                           "--address", "4", "--model", "17"}});
    ASSERT_TRUE(net.ok());
    Korvanta::Tessaline::nWeaveConfig config;
    config.enabled = false;
    config.fallback = false;

    Korvanta::Tessaline::Module absent(2);
    ASSERT_EQ(absent.setConfig(config), aErrNone);
    EXPECT_EQ(absent.connect(TCPIP, 0x0BADBEEF), aErrNotFound);

    Korvanta::Tessaline::Module module(2);
    ASSERT_EQ(module.setConfig(config), aErrNone);
    ASSERT_EQ(module.connect(TCPIP, 0x40F5849A), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 4);
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.ipAddress, address(net.moduleAddress()));
    EXPECT_EQ(spec.model, 17u);
    Korvanta::Tessaline::SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
}

TEST_F(TCPIPDiscovery, NoInterfaceToAskReturnsAtOnce)
{
    // Only loopback here: no query can go out, so nothing waits.
    EXPECT_TRUE(enumerate(aDiscovery_AnyInterface()).empty());
}

}  // namespace
