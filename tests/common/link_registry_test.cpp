// The link registry: ids, use counts, sharing, and links over real
// transports (loopback TCP, a pseudo-terminal, absent USB modules).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "ScriptedModule.h"
#include "aLink.h"
#include "tsusb.h"

namespace {

using scripted::Bytes;
using scripted::Pipe;

struct AnonymousLink {
  std::shared_ptr<Pipe> pipe = std::make_shared<Pipe>();
  uint32_t id = aLink_Create(Pipe::CreateStream(pipe));
  ~AnonymousLink() {
    if (id != 0) aLink_Destroy(&id);
  }
};

TEST(LinkRegistry, IdsKeepIncreasing) {
  uint32_t first = 0;
  {
    AnonymousLink a;
    ASSERT_NE(a.id, 0u);
    first = a.id;
  }
  AnonymousLink b, c;
  EXPECT_GT(b.id, first);
  EXPECT_GT(c.id, b.id);
  EXPECT_EQ(aLink_GetStatus(first), kLinkStatusInvalid) << "a destroyed id stays unknown";
}

TEST(LinkRegistry, SharedLinkEndsWithItsLastUse) {
  auto pipe = std::make_shared<Pipe>();
  uint32_t owner = aLink_Create(Pipe::CreateStream(pipe));
  ASSERT_NE(owner, 0u);
  uint32_t sharer = aLink_CreateClient(0, 0, owner);
  ASSERT_EQ(sharer, owner);
  const uint32_t id = owner;
  EXPECT_EQ(aLink_Destroy(&owner), aErrNone);
  EXPECT_EQ(owner, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_FALSE(pipe->Deleted());
  EXPECT_EQ(aLink_Destroy(&sharer), aErrNone);
  EXPECT_EQ(sharer, 0u);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusInvalid);
  EXPECT_TRUE(pipe->Deleted());
  uint32_t again = id;
  EXPECT_EQ(aLink_Destroy(&again), aErrParam);
  EXPECT_EQ(again, 0u);
}

TEST(LinkRegistry, NetworkSharingIsNotOffered) {
  AnonymousLink link;
  uint16_t port = 0;
  uint32_t address = 0;
  EXPECT_EQ(aLink_CreateClient(0x0100007F, 9000, 0), 0u);
  EXPECT_EQ(aLink_CreateClient(0x0100007F, 9000, 0x7FFFFFF7), 0u);
  EXPECT_EQ(aLink_CreateServer(link.id, &port, &address, true), 0u);
}

TEST(LinkRegistry, ResetRefusesCallerStreamsAndKeepsThem) {
  AnonymousLink link;
  ASSERT_TRUE(link.pipe->WaitWritten(3));
  EXPECT_EQ(aLink_Reset(link.id), aErrParam);
  EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
  link.pipe->Feed({0x04, 0x00});
  aPacket* packet = aLink_AwaitPacket(link.id, 5000);
  ASSERT_NE(packet, nullptr);
  aPacket_Destroy(&packet);
  EXPECT_FALSE(link.pipe->Deleted());
}

TEST(LinkRegistry, AbsentUSBModuleLeavesNothingBehind) {
  // Serial numbers no attached module has; a second try starts afresh.
  for (uint32_t serial : {0xFFFFFFF1u, 0xFFFFFFF1u}) EXPECT_EQ(aLink_CreateUSB(serial), 0u);
}

// A module behind the USB driver's character device, played over a
// pseudo-terminal whose node sits in a private device directory.
class USBNode : public testing::Test {
 protected:
  static constexpr uint32_t kSerial = 0x5B000001;

  void SetUp() override {
    char pattern[] = "/tmp/tessaline-link-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv(kTessalineDeviceDirEnv, dir_.c_str(), 1);
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    std::filesystem::create_symlink(name, dir_ / "tessaline.5B000001");
  }
  void TearDown() override {
    StopModule();
    close(slave_);
    close(master_);
    std::filesystem::remove_all(dir_);
    unsetenv(kTessalineDeviceDirEnv);
  }
  // Reads what the host writes; answers announcements when `answer` is set.
  void StartModule(bool answer) {
    stop_ = false;
    module_ = std::thread([this, answer] {
      Bytes pending;
      while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 10) != 1) continue;
        uint8_t buf[256];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) continue;
        pending.insert(pending.end(), buf, buf + n);
        while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
          const bool announcement = pending[0] == kSyncAddress && pending[1] == 0;
          pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
          if (!announcement) continue;
          ++announcements_;
          const uint8_t reply[2] = {0x06, 0x00};
          if (answer && write(master_, reply, sizeof reply) != 2) return;
        }
      }
    });
  }
  void StopModule() {
    stop_ = true;
    if (module_.joinable()) module_.join();
  }

  std::filesystem::path dir_;
  int master_ = -1, slave_ = -1;
  std::thread module_;
  std::atomic<bool> stop_{false};
  std::atomic<int> announcements_{0};
};

TEST_F(USBNode, HandshakeFailureLeavesNoLinkAndSuccessSharesOne) {
  StartModule(false);
  EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
  StopModule();
  EXPECT_GE(announcements_.load(), 6) << "the host announced itself";

  announcements_ = 0;
  StartModule(true);
  uint32_t id = aLink_CreateUSB(kSerial);
  ASSERT_NE(id, 0u);
  // The link is in step after the module's first answers; the rest of the
  // six announcements may still be on their way to the module.
  for (int i = 0; i < 500 && announcements_.load() < 6; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(announcements_.load(), 6) << "a fresh link, with its own handshake";
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  uint32_t shared = aLink_CreateUSB(kSerial);
  EXPECT_EQ(shared, id);
  EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
}

struct SerialCase {
  const char* name;
  uint32_t baud;
  bool opens;
};

class LinkSerial : public testing::TestWithParam<SerialCase> {};

// A pseudo-terminal stands in for the serial port.
TEST_P(LinkSerial, AcceptsOnlyTableRates) {
  const SerialCase& c = GetParam();
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  const uint32_t serial = 0x51000000u + c.baud;
  uint32_t id = aLink_CreateSerial(serial, name, c.baud);
  EXPECT_EQ(id != 0, c.opens);
  if (id != 0) {
    uint32_t shared = aLink_CreateSerial(serial, name, c.baud);
    EXPECT_EQ(shared, id);
    EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  }
  close(slave);
  close(master);
}

INSTANTIATE_TEST_SUITE_P(Rates, LinkSerial,
                         testing::Values(SerialCase{"Baud2400", 2400, true}, SerialCase{"Baud115200", 115200, true},
                                         SerialCase{"Baud230400", 230400, true},
                                         SerialCase{"Baud14400", 14400, false}, SerialCase{"Baud0", 0, false}),
                         [](const testing::TestParamInfo<SerialCase>& info) { return std::string(info.param.name); });

TEST(LinkRegistry, SerialPortMissing) {
  EXPECT_EQ(aLink_CreateSerial(0x52000001, "/dev/tessaline-no-such-port", 115200), 0u);
  EXPECT_EQ(aLink_CreateSerial(0x52000001, nullptr, 115200), 0u);
}

// A loopback TCP listener standing in for a module's port.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 4);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(fd_); }
  uint16_t port() const { return port_; }
  // The next connection, or -1 after 10 s.
  int Accept() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Reads exactly n bytes within 10 s; fewer when the peer closes or time runs out.
Bytes ReadBytes(int fd, size_t n) {
  Bytes out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) break;
    uint8_t b[64];
    const ssize_t got = recv(fd, b, std::min(sizeof b, n - out.size()), 0);
    if (got <= 0) break;
    out.insert(out.end(), b, b + got);
  }
  return out;
}

TEST(LinkRegistry, TCPIPLinkSharedResetAndClosed) {
  Listener listener;
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  uint32_t id = aLink_CreateTCPIP(0x40F5849A, loopback, listener.port());
  ASSERT_NE(id, 0u);
  const int first = listener.Accept();
  ASSERT_GE(first, 0);
  EXPECT_EQ(ReadBytes(first, 3), (Bytes{0xAF, 0x01, 0x01}));
  uint32_t shared = aLink_CreateTCPIP(0x40F5849A, loopback, listener.port());
  EXPECT_EQ(shared, id);
  EXPECT_EQ(aLink_Destroy(&shared), aErrNone);

  // Module to host.
  const uint8_t packet[] = {0x04, 0x01, 0x5A};
  ASSERT_EQ(send(first, packet, sizeof packet, 0), 3);
  aPacket* in = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->address, 0x04);
  EXPECT_EQ(in->data[0], 0x5A);
  aPacket_Destroy(&in);

  // A reset stops the link (route off), connects anew and starts again.
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(ReadBytes(first, 3), (Bytes{0xAF, 0x01, 0x00}));
  const int second = listener.Accept();
  ASSERT_GE(second, 0);
  EXPECT_EQ(ReadBytes(second, 3), (Bytes{0xAF, 0x01, 0x01}));
  EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);

  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(ReadBytes(second, 4), (Bytes{0xAF, 0x01, 0x00})) << "route off, then the connection closes";
  close(first);
  close(second);
}

TEST(LinkRegistry, TCPIPNobodyListening) {
  uint16_t port = 0;
  {
    Listener gone;
    port = gone.port();
  }
  EXPECT_EQ(aLink_CreateTCPIP(0x40F5849B, htonl(INADDR_LOOPBACK), port), 0u);
}

}  // namespace
