// TCallLock: what makes one object safe to call from several threads at once.
// Pages keep objects in Application and call them from their own threads,
// and the classes are registered "Both", so COM lets any thread in directly.
// Every member of an object runs under its one lock, taken for the whole
// call; the lock is recursive, so a call that reaches the same object again
// on its own thread (through a host call) goes on instead of waiting for
// itself. Portable, so that the sanitizers check it natively.
#pragma once

#include <mutex>

namespace velmora {

class TCallLock {
 public:
  template <class Body>
  decltype(auto) Run(Body&& body) {
    std::lock_guard<std::recursive_mutex> hold(mutex_);
    return body();
  }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace velmora
