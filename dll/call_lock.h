// TCallLock: what makes one object safe to call from several threads at once.
// Pages keep objects in Application and call them from their own threads,
// and the classes are registered "Both", so COM lets any thread in directly.
// Every member of an object runs under its one lock, taken for the whole
// call; the lock is recursive, so a call that reaches the same object again
// on its own thread (through a host call) goes on instead of waiting for
// itself. Portable, so that the sanitizers check it natively.
//
// A call that reads a request body holds the lock for as long as the client
// takes to send it, and publishes progress in Application meanwhile, which
// waits while another page holds Application.Lock. Were that page to wait for
// the object in turn, neither would ever go on. So no one waits for a
// reading call: another thread's call fails at once while one runs.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/errors.h"

namespace velmora {

class TCallLock {
 public:
  static constexpr const char16_t* kReadingAnother = u"The object is reading another request.";

  // Runs body under the lock; throws an Exception with kReadingAnother when
  // a reading call of another thread holds it.
  template <class Body>
  decltype(auto) Run(Body&& body) {
    Hold hold(*this, false);
    return body();
  }

  // The same, for a call that reads a request body: calls of other threads
  // that wait for the lock meanwhile, or come later, fail instead.
  template <class Body>
  decltype(auto) RunReading(Body&& body) {
    Hold hold(*this, true);
    return body();
  }

 private:
  class Hold {
   public:
    Hold(TCallLock& lock, bool reading) : lock_(lock) {
      std::unique_lock<std::mutex> state(lock_.state_);
      const std::thread::id me = std::this_thread::get_id();
      while (lock_.depth_ > 0 && lock_.owner_ != me) {
        if (lock_.reading_) throw Exception(kReadingAnother);
        lock_.released_.wait(state);
      }
      lock_.owner_ = me;
      ++lock_.depth_;
      outerReading_ = lock_.reading_;
      if (reading && !lock_.reading_) {
        lock_.reading_ = true;
        lock_.released_.notify_all();  // those waiting give up now
      }
    }
    ~Hold() {
      std::lock_guard<std::mutex> state(lock_.state_);
      lock_.reading_ = outerReading_;
      if (--lock_.depth_ == 0) {
        lock_.owner_ = std::thread::id();
        lock_.released_.notify_all();
      }
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    TCallLock& lock_;
    bool outerReading_ = false;
  };

  std::mutex state_;
  std::condition_variable released_;
  std::thread::id owner_;  // the thread holding the lock, while depth_ > 0
  int depth_ = 0;
  bool reading_ = false;   // the holder is in a reading call
};

}  // namespace velmora
