// Link engine figures: CPU cost of idle links, and the request/response rate
// through a link against an echoing peer on loopback TCP, next to plain
// blocking socket calls doing the same exchanges.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aStream.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExchanges = 20000;
constexpr int kIdleSeconds = 5;
constexpr uint8_t kModuleAddress = 0x04;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void NoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A loopback peer on its own thread. Echo mode sends back every packet to an
// even address; silent mode only holds the connection. Ends when the host
// closes or after `stop`.
class Peer {
 public:
  explicit Peer(bool echo) : echo_(echo) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Peer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void Run() {
    pollfd p{listener_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 100) == 0) {
    }
    if (stop_) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    NoDelay(fd);
    std::vector<uint8_t> pending;
    uint8_t buf[4096];
    while (!stop_) {
      pollfd q{fd, POLLIN, 0};
      if (poll(&q, 1, 100) <= 0) continue;
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      if (!echo_) continue;
      pending.insert(pending.end(), buf, buf + n);
      std::vector<uint8_t> out;
      size_t used = 0;
      while (pending.size() - used >= 2 && pending.size() - used >= 2u + pending[used + 1]) {
        const size_t size = 2u + pending[used + 1];
        if ((pending[used] & 1) == 0) out.insert(out.end(), pending.begin() + used, pending.begin() + used + size);
        used += size;
      }
      pending.erase(pending.begin(), pending.begin() + used);
      if (!out.empty()) send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }
    close(fd);
  }

  bool echo_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A plain socket stream that reads in blocks, to tell the engine's own cost
// from a transport's per-byte cost.
struct BufferedSocket {
  int fd;
  uint8_t buffer[4096];
  size_t head = 0, tail = 0;
};

aErr BufferedGet(uint8_t* out, void* ref) {
  auto* s = static_cast<BufferedSocket*>(ref);
  if (s->head == s->tail) {
    pollfd p{s->fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) return aErrNotReady;
    const ssize_t n = recv(s->fd, s->buffer, sizeof s->buffer, MSG_DONTWAIT);
    if (n == 0) return aErrEOF;
    if (n < 0) return errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
    s->head = 0;
    s->tail = static_cast<size_t>(n);
  }
  *out = s->buffer[s->head++];
  return aErrNone;
}
aErr BufferedWrite(const uint8_t* data, size_t length, void* ref) {
  auto* s = static_cast<BufferedSocket*>(ref);
  return send(s->fd, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length) ? aErrNone : aErrWrite;
}
aErr BufferedPut(const uint8_t* byte, void* ref) {
  return BufferedWrite(byte, 1, ref);
}
aErr BufferedDelete(void* ref) {
  auto* s = static_cast<BufferedSocket*>(ref);
  close(s->fd);
  delete s;
  return aErrNone;
}

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

aStream* BufferedSocketStream(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return nullptr;
  aStream* stream = aStream_Create(BufferedGet, BufferedPut, BufferedWrite, BufferedDelete, new BufferedSocket{fd, {}});
  return stream;
}

// A stream whose reads answer "not ready" at once: the reader must pace itself.
aErr NeverReady(uint8_t*, void*) {
  return aErrNotReady;
}
aErr Discard(const uint8_t*, size_t, void*) {
  return aErrNone;
}
aErr DiscardByte(const uint8_t*, void*) {
  return aErrNone;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

double IdleCost(uint32_t link) {
  if (link == 0) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past start-up
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  return (CpuSeconds() - cpu0) / wall * 100.0;
}

struct Tag {
  uint8_t hi, lo;
};

uint8_t MatchesTag(const aPacket* packet, const void* ref) {
  const Tag* tag = static_cast<const Tag*>(ref);
  return packet->address == kModuleAddress && packet->dataSize == 4 && packet->data[2] == tag->hi &&
         packet->data[3] == tag->lo;
}

// Exchanges per second through a link; -1 when an answer went missing.
double LinkRate(uint32_t link) {
  if (link == 0) return -1;
  uint8_t data[4] = {3, 1, 0, 0};
  const auto t0 = Clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    Tag tag{static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    data[2] = tag.hi;
    data[3] = tag.lo;
    aPacket* request = aPacket_CreateWithData(kModuleAddress, sizeof data, data);
    aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    aPacket* answer = aLink_AwaitFirst(link, MatchesTag, &tag, 1000);
    if (answer == nullptr) {
      std::printf("  answer %d missing (link status %u)\n", i, aLink_GetStatus(link));
      return -1;
    }
    aPacket_Destroy(&answer);
  }
  return kExchanges / std::chrono::duration<double>(Clock::now() - t0).count();
}

// The same exchanges with blocking send and recv on a connected socket.
double PlainRate(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return -1;
  timeval timeout{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  uint8_t wire[6] = {kModuleAddress, 4, 3, 1, 0, 0};
  uint8_t answer[6];
  const auto t0 = Clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    wire[4] = static_cast<uint8_t>(i >> 8);
    wire[5] = static_cast<uint8_t>(i);
    if (send(fd, wire, sizeof wire, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof wire)) break;
    size_t got = 0;
    while (got < sizeof answer) {
      const ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
      if (n <= 0) {
        close(fd);
        return -1;
      }
      got += static_cast<size_t>(n);
    }
  }
  const double rate = kExchanges / std::chrono::duration<double>(Clock::now() - t0).count();
  close(fd);
  return rate;
}

}  // namespace

int main() {
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  std::printf("link_bench: idle cost over %d s, then %d request/response exchanges\n", kIdleSeconds, kExchanges);

  {
    Peer silent(false);
    uint32_t link = aLink_CreateTCPIP(0x0B000001, loopback, silent.port());
    const double percent = IdleCost(link);
    std::printf("idle link, TCP socket stream to a silent peer: %.2f %% of one core (target < 2 %%)\n", percent);
    aLink_Destroy(&link);
  }
  {
    uint32_t link = aLink_Create(aStream_Create(NeverReady, DiscardByte, Discard, nullptr, nullptr));
    const double percent = IdleCost(link);
    std::printf("idle link, stream answering not-ready at once:  %.2f %% of one core (target < 2 %%)\n", percent);
    aLink_Destroy(&link);
  }

  // Rounds alternate the three ways so that load from elsewhere on the
  // machine falls on all of them; the median round is reported.
  constexpr int kRounds = 3;
  std::vector<double> socketRates, bufferedRates, plainRates;
  for (int round = 0; round < kRounds; ++round) {
    {
      Peer echo(true);
      uint32_t link = aLink_CreateTCPIP(0x0B000002, loopback, echo.port());
      socketRates.push_back(LinkRate(link));
      aLink_Destroy(&link);
    }
    {
      Peer echo(true);
      aStream* stream = BufferedSocketStream(echo.port());
      uint32_t link = stream != nullptr ? aLink_Create(stream) : 0;
      bufferedRates.push_back(LinkRate(link));
      aLink_Destroy(&link);
    }
    {
      Peer echo(true);
      plainRates.push_back(PlainRate(echo.port()));
    }
    std::printf("round %d: link over socket stream %.0f/s, link over block-reading stream %.0f/s, plain %.0f/s\n",
                round + 1, socketRates.back(), bufferedRates.back(), plainRates.back());
  }
  const double socketRate = Median(socketRates), bufferedRate = Median(bufferedRates), plainRate = Median(plainRates);
  std::printf("request/response via aLink_PutPacket + aLink_AwaitFirst, transport socket stream: %.0f exchanges/s\n",
              socketRate);
  std::printf("request/response via aLink_PutPacket + aLink_AwaitFirst, block-reading stream:   %.0f exchanges/s\n",
              bufferedRate);
  std::printf("request/response via blocking send + recv:                                       %.0f exchanges/s\n",
              plainRate);
  if (plainRate > 0) {
    std::printf("ratio link/plain, transport socket stream: %.2f (target >= 0.5)\n", socketRate / plainRate);
    std::printf("ratio link/plain, block-reading stream:    %.2f (target >= 0.5)\n", bufferedRate / plainRate);
  }
  const double linkRate = std::min(socketRate, bufferedRate);
  return linkRate > 0 && plainRate > 0 ? 0 : 1;
}
