// The host of a page whose body is already in memory, for the benchmarks:
// every call answers at once, BinaryRead copies the next bytes out of a body
// the host does not own, so that a run copies nothing else.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "process/host.h"

namespace velmora::bench {

class MemoryHost final : public IUploadHost {
 public:
  explicit MemoryHost(const std::string& body) : body_(body) {}

  int32_t TotalBytes() override { return static_cast<int32_t>(body_.size()); }
  bool IsClientConnected() override { return true; }
  size_t BinaryRead(int64_t count, bool, uint8_t* buffer) override {
    const size_t n = std::min(static_cast<size_t>(count), body_.size() - position_);
    std::memcpy(buffer, body_.data() + position_, n);
    position_ += n;
    return n;
  }
  void SetApplicationValue(const ustring&, int32_t) override {}
  void RemoveApplicationValue(const ustring&) override {}
  ustring MapPath(const ustring&) override { return u"C:\\site"; }

 private:
  const std::string& body_;
  size_t position_ = 0;
};

}  // namespace velmora::bench
