// The upload object as pages that keep it in Application call it: one object
// from many threads at once, each call under the lock that the automation
// boundary takes, and objects on threads of their own, which must share
// nothing. Natively under AddressSanitizer and UBSan, and again under
// ThreadSanitizer in a configuration of its own (make test-native).
#include "dll/call_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process/process.h"
#include "process/testing/fake_host.h"
#include "process/testing/multipart_body.h"

namespace velmora {
namespace {

using testing::FakeHost;

constexpr int kFields = 200;
constexpr int kThreads = 8;
constexpr int kCalls = 400;

ustring Numbered(const char* prefix, int n) { return fromUtf8(prefix + std::to_string(n)); }

const std::string& FileBytes() {
  static const std::string bytes = [] {
    std::string b(4096, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 7 + 3);
    return b;
  }();
  return bytes;
}

// A read upload: field<k> = value-<k> for k below kFields, and one file.
std::unique_ptr<TProcess> ReadUpload() {
  std::vector<testing::FormPart> parts;
  for (int k = 0; k < kFields; ++k)
    parts.push_back(testing::Field("field" + std::to_string(k), "value-" + std::to_string(k)));
  parts.push_back(testing::File("file", "shared.bin", FileBytes()));
  auto script = std::make_shared<FakeHost::Script>();
  script->body = testing::MultipartBody(parts);
  auto process = std::make_unique<TProcess>(std::make_unique<FakeHost>(script));
  process->Read();
  return process;
}

// What a page does with a shared upload, every answer checked; run(body)
// makes one call of the object. Counts the answers that no call explains.
template <class Run>
int CallLikeAPage(TProcess& p, int thread, Run&& run) {
  const ustring base64 = run([&] { return p.FileAsBase64(0); });
  int wrong = 0;
  for (int i = 0; i < kCalls; ++i) {
    const int k = (i * 7 + thread) % kFields;
    // Names in another case, so that lookups go through the indexes built on
    // first use.
    wrong += run([&] { return p.Value(Numbered("FIELD", k)); }) != Numbered("value-", k);
    wrong += run([&] { return p.VarName(k); }) != Numbered("field", k);
    wrong += run([&] { return p.VarByIndex(k); }) != Numbered("value-", k);
    wrong += run([&] { return p.Value(Numbered("missing", i)); }) != u"";
    wrong += run([&] { return p.VarCount(); }) != kFields + 1;
    wrong += run([&] { return p.FileName(0); }) != u"shared.bin";
    wrong += run([&] { return p.FileSize(0); }) != static_cast<int32_t>(FileBytes().size());
    if (i % 50 == 0) wrong += run([&] { return p.FileAsBase64(0); }) != base64;
    run([&] {
      p.SetOverwriteChr(ustring(1, static_cast<char16_t>(u'A' + thread)));
      return 0;
    });
    const ustring chr = run([&] { return p.OverwriteChr(); });
    wrong += chr.size() != 1 || chr[0] < u'A' || chr[0] >= u'A' + kThreads;
    run([&] {
      p.SetSaveDirectPath(u"C:\\uploads\\" + ustring(static_cast<size_t>(i % 300), u'x'));
      return 0;
    });
    wrong += run([&] { return p.SaveDirectPath(); }).rfind(u"C:\\uploads\\", 0) != 0;
  }
  return wrong;
}

void OnThreads(const std::function<void(int)>& body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready < kThreads) std::this_thread::yield();
      body(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(SharedObject, OneUploadCalledFromManyThreadsThroughItsLock) {
  std::unique_ptr<TProcess> upload = ReadUpload();
  TCallLock lock;
  std::atomic<int> wrong{0};
  OnThreads([&](int t) {
    wrong += CallLikeAPage(*upload, t, [&](auto&& call) { return lock.Run(call); });
  });
  EXPECT_EQ(wrong.load(), 0);
}

// The lock of one object is enough only while objects share no state: the
// module's text services, tables and counters must stand calls from any
// thread without one.
TEST(SharedObject, UploadsOnThreadsOfTheirOwnShareNothing) {
  std::atomic<int> wrong{0};
  OnThreads([&](int t) {
    std::unique_ptr<TProcess> own = ReadUpload();
    wrong += CallLikeAPage(*own, t, [](auto&& call) { return call(); });
  });
  EXPECT_EQ(wrong.load(), 0);
}

// A call that reaches the same object again on its own thread goes on.
TEST(SharedObject, TheLockLetsItsOwnThreadBackIn) {
  TCallLock lock;
  EXPECT_EQ(lock.Run([&] { return lock.Run([] { return 7; }); }), 7);
}


// A page reading a body publishes progress, which waits for Application.Lock;
// a page holding that lock must not wait for the reading object in turn.
// Calls of other threads fail at once while a reading call runs: those that
// come later and those already waiting for a call that was not reading.
TEST(SharedObject, NoOneWaitsForAReadingCall) {
  TCallLock lock;
  std::promise<void> reading, finish;
  std::shared_future<void> finishing = finish.get_future().share();
  std::thread reader([&] {
    lock.RunReading([&] {
      EXPECT_EQ(lock.Run([] { return 1; }), 1) << "the reader's own calls go on";
      reading.set_value();
      finishing.wait();
      return 0;
    });
  });
  reading.get_future().wait();
  const auto busy = [&] {
    try {
      lock.Run([] { return 0; });
      return ustring(u"no failure");
    } catch (const Exception& e) {
      return e.message();
    }
  };
  EXPECT_EQ(std::async(std::launch::async, busy).get(), TCallLock::kReadingAnother);
  EXPECT_EQ(std::async(std::launch::async, [&] {
              try {
                lock.RunReading([] { return 0; });
                return ustring(u"no failure");
              } catch (const Exception& e) {
                return e.message();
              }
            }).get(),
            TCallLock::kReadingAnother);
  finish.set_value();
  reader.join();
  EXPECT_EQ(lock.Run([] { return 2; }), 2) << "once the read is over, calls go in again";

  // A thread waiting for an ordinary call gives up when a read takes over.
  std::promise<void> holding, released;
  std::shared_future<void> release = released.get_future().share();
  std::atomic<bool> readStarted{false};
  std::thread holder([&] {
    lock.Run([&] {
      holding.set_value();
      release.wait();
      // Still holding: a reading call of this thread, as a nested Read.
      lock.RunReading([&] {
        readStarted = true;
        while (readStarted) std::this_thread::yield();  // until the waiter has given up
        return 0;
      });
      return 0;
    });
  });
  holding.get_future().wait();
  std::future<ustring> waiter = std::async(std::launch::async, busy);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "an ordinary call is waited for";
  released.set_value();
  EXPECT_EQ(waiter.get(), TCallLock::kReadingAnother);
  readStarted = false;
  holder.join();
}

}  // namespace
}  // namespace velmora
