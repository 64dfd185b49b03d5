// The test side of the intrinsics: the probe, the in-memory body and sink.
#include <algorithm>

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/intrinsics.h"

namespace asphost {

// ---------------------------------------------------------------------------
// HostProbe

void HostProbe::FailCall(const std::wstring& name, HRESULT hr, const std::wstring& description, int afterCalls) {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.name == name; }),
                faults_.end());
  faults_.push_back(Fault{name, hr, description, afterCalls < 0 ? 0 : afterCalls});
}

void HostProbe::ClearFaults() {
  std::lock_guard<std::mutex> hold(lock_);
  faults_.clear();
}

HRESULT HostProbe::Check(const wchar_t* name, REFIID iid, const wchar_t* source) {
  std::wstring description;
  HRESULT hr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto fault = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.name == name; });
    if (fault == faults_.end()) return S_OK;
    if (fault->callsLeft > 0) {
      --fault->callsLeft;
      return S_OK;
    }
    hr = fault->hr;
    description = fault->description;
  }
  return ReportError(hr, iid, source, description);
}

void HostProbe::RecordRead(const Read& read) {
  std::lock_guard<std::mutex> hold(lock_);
  reads_.push_back(read);
}

std::vector<HostProbe::Read> HostProbe::Reads() const {
  std::lock_guard<std::mutex> hold(lock_);
  return reads_;
}

void HostProbe::ClearReads() {
  std::lock_guard<std::mutex> hold(lock_);
  reads_.clear();
}

// ---------------------------------------------------------------------------
// MemoryBody

MemoryBody::MemoryBody(std::string bytes) : bytes_(std::move(bytes)) {}

void MemoryBody::SetBytes(std::string bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  bytes_ = std::move(bytes);
  position_ = 0;
  reads_ = 0;
}

void MemoryBody::SetDeclaredLength(int64_t length) {
  std::lock_guard<std::mutex> hold(lock_);
  declared_ = length;
}

void MemoryBody::SetMaxRead(size_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  maxRead_ = bytes;
}

void MemoryBody::SetEmptyReads(int fromRead, int count) {
  std::lock_guard<std::mutex> hold(lock_);
  emptyFrom_ = fromRead;
  emptyCount_ = count;
}

void MemoryBody::SetDisconnectAfter(int reads) {
  std::lock_guard<std::mutex> hold(lock_);
  disconnectAfter_ = reads;
}

int MemoryBody::reads() const {
  std::lock_guard<std::mutex> hold(lock_);
  return reads_;
}

uint64_t MemoryBody::DeclaredLength() {
  std::lock_guard<std::mutex> hold(lock_);
  return declared_ >= 0 ? static_cast<uint64_t>(declared_) : bytes_.size();
}

size_t MemoryBody::Read(uint8_t* buffer, size_t count) {
  std::lock_guard<std::mutex> hold(lock_);
  int number = ++reads_;
  bool empty = emptyFrom_ > 0 && number >= emptyFrom_ && (emptyCount_ < 0 || number < emptyFrom_ + emptyCount_);
  if (empty) return 0;
  size_t n = std::min(count, bytes_.size() - position_);
  if (maxRead_ > 0) n = std::min(n, maxRead_);
  memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

bool MemoryBody::ClientConnected() {
  std::lock_guard<std::mutex> hold(lock_);
  return disconnectAfter_ < 0 || reads_ < disconnectAfter_;
}

// ---------------------------------------------------------------------------
// MemorySink

HRESULT MemorySink::Send(const ResponseHead& head, const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> hold(lock_);
  head_ = head;
  body_.append(reinterpret_cast<const char*>(data), size);
  ++sends_;
  return S_OK;
}

HRESULT MemorySink::End() {
  std::lock_guard<std::mutex> hold(lock_);
  ended_ = true;
  return S_OK;
}

ResponseHead MemorySink::head() const {
  std::lock_guard<std::mutex> hold(lock_);
  return head_;
}

std::string MemorySink::body() const {
  std::lock_guard<std::mutex> hold(lock_);
  return body_;
}

int MemorySink::sends() const {
  std::lock_guard<std::mutex> hold(lock_);
  return sends_;
}

bool MemorySink::ended() const {
  std::lock_guard<std::mutex> hold(lock_);
  return ended_;
}

void MemorySink::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  head_ = ResponseHead();
  body_.clear();
  sends_ = 0;
  ended_ = false;
}

}  // namespace asphost
