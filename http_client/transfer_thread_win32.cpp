#include "http_client/transfer_thread_win32.h"

#include <algorithm>
#include <memory>

namespace velmora {

namespace {

// The number of abandoned transfers whose thread still runs.
std::atomic<int> abandonedTransfers{0};
// Stack reserved for a transfer's thread (committed only as used).
constexpr SIZE_T kTransferStackSize = 256 * 1024;

}  // namespace

TTransfer::TTransfer(std::function<void(TTransfer&)> work)
    : work_(std::move(work)), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TTransfer::~TTransfer() {
  if (done_) CloseHandle(done_);
}

bool TTransfer::run(std::function<void(TTransfer&)> work, const TDeadline& First) {
  if (abandonedTransfers.load() >= kMaxAbandoned) return false;
  auto transfer = std::make_shared<TTransfer>(std::move(work));
  if (!transfer->done_) return false;
  if (First.unlimited())
    transfer->waitForever();
  else
    transfer->waitUntil(First.end());
  // The thread keeps this module loaded for as long as it runs.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&TTransfer::threadMain), &module))
    return false;
  auto* shared = new std::shared_ptr<TTransfer>(transfer);
  HANDLE thread = CreateThread(nullptr, kTransferStackSize, &TTransfer::threadMain, shared,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) {
    delete shared;
    FreeLibrary(module);
    return false;
  }
  CloseHandle(thread);
  if (!transfer->waitForTheEnd()) return false;
  if (transfer->failure_) std::rethrow_exception(transfer->failure_);
  return true;
}

bool TTransfer::waitForTheEnd() {
  for (;;) {
    const Clock::rep deadline = deadline_.load();
    DWORD wait = 1000;  // a deadline set meanwhile is seen within a second
    if (deadline != kForever) {
      const auto left = Clock::time_point(Clock::duration(deadline)) - Clock::now();
      if (left <= Clock::duration::zero()) break;
      wait = static_cast<DWORD>(std::min<int64_t>(
          1000, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
    if (WaitForSingleObject(done_, wait) == WAIT_OBJECT_0) return true;
  }
  // Counted before it is marked, so that its thread, ending at this moment,
  // never uncounts it first.
  ++abandonedTransfers;
  int running = kRunning;
  if (state_.compare_exchange_strong(running, kAbandoned)) return false;
  --abandonedTransfers;  // it ended after all
  return true;
}

void TTransfer::execute() {
  try {
    work_(*this);
  } catch (...) {
    failure_ = std::current_exception();
  }
  if (state_.exchange(kDone) == kAbandoned) --abandonedTransfers;
  SetEvent(done_);
}

DWORD WINAPI TTransfer::threadMain(void* parameter) {
  {
    std::unique_ptr<std::shared_ptr<TTransfer>> shared(
        static_cast<std::shared_ptr<TTransfer>*>(parameter));
    (*shared)->execute();
  }  // what the transfer held is freed here when its caller has let go
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&TTransfer::threadMain), &module);
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace velmora
