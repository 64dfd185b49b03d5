// Transfers on a thread of their own. Every wait on a connection has its
// end, but resolving a host name is the system's and has none, and a
// transfer without a time-out waits as long as its server. So each transfer
// runs on a thread of its own that owns all it uses (connection, body, where
// the answer goes), and the caller waits for it only until the transfer's
// deadline. A transfer given up on is abandoned: its thread ends, and frees
// what it holds, when its blocked call returns.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>

namespace velmora {

// A point in time after which a transfer waits no more; none for
// kUnlimited milliseconds.
class TDeadline {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint64_t kUnlimited = 0xFFFFFFFFu;

  explicit TDeadline(uint64_t milliseconds)
      : unlimited_(milliseconds == kUnlimited),
        end_(Clock::now() + std::chrono::milliseconds(unlimited_ ? 0 : milliseconds)) {}
  bool passed() const { return !unlimited_ && Clock::now() >= end_; }
  bool unlimited() const { return unlimited_; }
  Clock::time_point end() const { return end_; }

 private:
  bool unlimited_;
  Clock::time_point end_;
};

// What the calling thread and a transfer's thread share.
class TTransfer {
 public:
  using Clock = TDeadline::Clock;
  // While this many abandoned transfers still run (each holds a thread and
  // maybe a connection), no new one starts, so that a host that never lets
  // go cannot pile them up without bound.
  static constexpr int kMaxAbandoned = 32;

  explicit TTransfer(std::function<void(TTransfer&)> work);
  ~TTransfer();
  TTransfer(const TTransfer&) = delete;
  TTransfer& operator=(const TTransfer&) = delete;

  // Called by the work as it enters a stage: the caller waits until then.
  void waitUntil(Clock::time_point end) { deadline_.store(end.time_since_epoch().count()); }
  void waitForever() { deadline_.store(kForever); }

  // Runs work on a thread of its own until it ends or the deadline it keeps
  // setting (First to begin with) passes. True when it ended (an exception
  // it raised is raised here); false when the caller stopped waiting, or no
  // thread could run it (kMaxAbandoned still running, say).
  static bool run(std::function<void(TTransfer&)> work, const TDeadline& First);

 private:
  enum State { kRunning, kDone, kAbandoned };
  static constexpr Clock::rep kForever = Clock::rep(-1);

  static DWORD WINAPI threadMain(void* parameter);
  void execute();
  bool waitForTheEnd();

  std::function<void(TTransfer&)> work_;
  HANDLE done_;
  std::atomic<Clock::rep> deadline_{kForever};
  std::atomic<int> state_{kRunning};
  std::exception_ptr failure_;
};

}  // namespace velmora
