// The host of a page whose body is already in memory, for the benchmarks:
// every call answers at once, and BinaryRead copies the next bytes out of a
// body the host does not own into a fresh array it hands over, as ASP's
// BinaryRead makes a new array for each call; the reader parses them there
// and frees the array with the block.
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
    auto block = std::make_unique<TArrayBlock>(n);
    std::memcpy(block->bytes_.get(), body_.data() + position_, n);
    position_ += n;
    return block;
  }
  void SetApplicationValue(const ustring&, int32_t) override {}
  void RemoveApplicationValue(const ustring&) override {}
  ustring MapPath(const ustring&) override { return u"C:\\site"; }

 private:
  class TArrayBlock final : public IHostBlock {
   public:
    explicit TArrayBlock(size_t size) : bytes_(new uint8_t[size]), size_(size) {}
    ByteSpan bytes() const override { return {bytes_.get(), size_}; }

    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
  };

  const std::string& body_;
  size_t position_ = 0;
};

}  // namespace velmora::bench
