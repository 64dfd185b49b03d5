// The host of a page whose body is already in memory, for the benchmarks:
// every call answers at once, BinaryRead copies the next bytes out of a body
// the host does not own into a buffer of its own, as a real host hands out
// its own array, and the reader parses them there.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "process/host.h"

namespace velmora::bench {

class MemoryHost final : public IUploadHost {
 public:
  explicit MemoryHost(const std::string& body) : body_(body) {}

  int32_t TotalBytes() override { return static_cast<int32_t>(body_.size()); }
  bool IsClientConnected() override { return true; }
  std::unique_ptr<IHostBlock> BinaryRead(int64_t count, bool) override {
    const size_t n = std::min(static_cast<size_t>(count), body_.size() - position_);
    block_.assign(body_, position_, n);
    position_ += n;
    return std::make_unique<TBorrowedBlock>(
        ByteSpan{reinterpret_cast<const uint8_t*>(block_.data()), block_.size()});
  }
  void SetApplicationValue(const ustring&, int32_t) override {}
  void RemoveApplicationValue(const ustring&) override {}
  ustring MapPath(const ustring&) override { return u"C:\\site"; }

 private:
  const std::string& body_;
  size_t position_ = 0;
  std::string block_;  // the host's own copy of the bytes it delivers, as ASP makes
};

}  // namespace velmora::bench
