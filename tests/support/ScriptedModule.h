// An in-process stand-in for a module at the far end of a link: a duplex
// byte pipe exposed to the host as an aStream, and a small scripted module
// thread that answers what the host writes. Every wait is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aStream.h"

namespace scripted {

using Bytes = std::vector<uint8_t>;
using Millis = std::chrono::milliseconds;

// Bound on any wait for the code under test: reached only when it hangs.
constexpr Millis kHangGuard{20000};

class Pipe {
 public:
  // A stream over this pipe; the pipe lives on until both the stream and the
  // test let go.
  static aStream* CreateStream(const std::shared_ptr<Pipe>& pipe) {
    auto* holder = new std::shared_ptr<Pipe>(pipe);
    aStream* stream = aStream_Create(Get, Put, Write, Delete, holder);
    if (stream == nullptr) delete holder;
    return stream;
  }

  // ---- Module side.
  void Feed(const Bytes& bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
    }
    changed_.notify_all();
  }
  // Reads answer this error (aErrNone: normal again).
  void FailReads(aErr err) {
    std::lock_guard<std::mutex> lock(mutex_);
    readError_ = err;
  }
  // Reads of an empty pipe answer "not ready" at once instead of waiting.
  void ImmediateNotReady(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    immediate_ = on;
  }
  // While held, every host write blocks (and is counted as blocked).
  void HoldWrites(bool hold) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hold_ = hold;
    }
    changed_.notify_all();
  }
  bool WaitBlockedWrite(Millis bound = kHangGuard) {
    return WaitUntil(bound, [this] { return blockedWrites_ > 0; });
  }
  bool WaitWritten(size_t total, Millis bound = kHangGuard) {
    return WaitUntil(bound, [&] { return written_.size() >= total; });
  }
  // True once the host has taken every fed byte and asked for one more.
  bool WaitDrained(Millis bound = kHangGuard) {
    uint64_t calls = 0;
    if (!WaitUntil(bound, [&] {
          calls = getCalls_;
          return toHost_.empty();
        }))
      return false;
    return WaitUntil(bound, [&] { return getCalls_ > calls + 1; });
  }
  bool WaitDeleted(Millis bound = kHangGuard) {
    return WaitUntil(bound, [this] { return deleted_; });
  }
  Bytes Written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }
  std::vector<size_t> WriteSizes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeSizes_;
  }
  uint64_t GetCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return getCalls_;
  }
  bool Deleted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deleted_;
  }
  // Waits for host bytes beyond offset; returns them (empty after the bound).
  Bytes WrittenSince(size_t offset, Millis bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, bound, [&] { return written_.size() > offset || deleted_; });
    if (written_.size() <= offset) return {};
    return Bytes(written_.begin() + static_cast<long>(offset), written_.end());
  }

 private:
  template <typename Pred>
  bool WaitUntil(Millis bound, Pred pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, bound, pred);
  }

  static Pipe& Of(void* ref) { return **static_cast<std::shared_ptr<Pipe>*>(ref); }

  static aErr Get(uint8_t* out, void* ref) {
    Pipe& p = Of(ref);
    std::unique_lock<std::mutex> lock(p.mutex_);
    ++p.getCalls_;
    p.changed_.notify_all();
    if (p.readError_ != aErrNone) return p.readError_;
    if (p.toHost_.empty() && !p.immediate_)
      p.changed_.wait_for(lock, Millis(10), [&p] { return !p.toHost_.empty(); });
    if (p.toHost_.empty()) return aErrNotReady;
    *out = p.toHost_.front();
    p.toHost_.pop_front();
    return aErrNone;
  }
  static aErr Put(const uint8_t* byte, void* ref) { return Write(byte, 1, ref); }
  static aErr Write(const uint8_t* data, size_t length, void* ref) {
    Pipe& p = Of(ref);
    std::unique_lock<std::mutex> lock(p.mutex_);
    if (p.hold_) {
      ++p.blockedWrites_;
      p.changed_.notify_all();
      p.changed_.wait_for(lock, kHangGuard, [&p] { return !p.hold_; });
    }
    p.written_.insert(p.written_.end(), data, data + length);
    p.writeSizes_.push_back(length);
    p.changed_.notify_all();
    return aErrNone;
  }
  static aErr Delete(void* ref) {
    auto* holder = static_cast<std::shared_ptr<Pipe>*>(ref);
    {
      std::lock_guard<std::mutex> lock((*holder)->mutex_);
      (*holder)->deleted_ = true;
    }
    (*holder)->changed_.notify_all();
    delete holder;
    return aErrNone;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint8_t> toHost_;
  Bytes written_;
  std::vector<size_t> writeSizes_;
  aErr readError_ = aErrNone;
  bool immediate_ = false;
  bool hold_ = false;
  int blockedWrites_ = 0;
  uint64_t getCalls_ = 0;
  bool deleted_ = false;
};

// One packet as the host wrote it.
struct HostPacket {
  uint8_t address;
  Bytes data;
};

// Reads the host's packets from a pipe on its own thread and lets a script
// answer each one.
class Module {
 public:
  using Script = std::function<void(const HostPacket&, Pipe&)>;

  Module(std::shared_ptr<Pipe> pipe, Script script) : pipe_(std::move(pipe)), script_(std::move(script)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Module() {
    stop_ = true;
    thread_.join();
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Answers every announcement with an empty packet from `address`.
  static Script AnswerSync(uint8_t address) {
    return [address](const HostPacket& p, Pipe& pipe) {
      if (p.address == 0xAD && p.data.empty()) pipe.Feed({address, 0});
    };
  }
  size_t Seen() const { return seen_; }

 private:
  void Run() {
    size_t offset = 0;
    Bytes pending;
    while (!stop_) {
      const Bytes fresh = pipe_->WrittenSince(offset, Millis(10));
      offset += fresh.size();
      pending.insert(pending.end(), fresh.begin(), fresh.end());
      while (pending.size() >= 2 && pending.size() >= 2u + pending[1]) {
        HostPacket packet{pending[0], Bytes(pending.begin() + 2, pending.begin() + 2 + pending[1])};
        pending.erase(pending.begin(), pending.begin() + 2 + pending[1]);
        ++seen_;
        if (script_) script_(packet, *pipe_);
      }
    }
  }

  std::shared_ptr<Pipe> pipe_;
  Script script_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> seen_{0};
  std::thread thread_;
};

}  // namespace scripted
