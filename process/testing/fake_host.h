// An in-process ASP host for tests of the upload object: it serves a body in
// reads of any size (short ones and empty ones included), can report the
// client gone, can fail any call, and records every call it receives. What it
// saw stays readable after the object that owned the host is gone.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/ustring.h"
#include "process/host.h"

namespace velmora::testing {

class FakeHost final : public IUploadHost {
 public:
  struct Read {
    int64_t asked;
    bool asInt64;
    size_t delivered;
  };

  // The host's behaviour (set before use) and its record of calls.
  struct Script {
    std::string body;
    std::optional<int32_t> totalBytes;  // what TotalBytes says; the body's size if unset
    // Upper bounds for successive reads (0: the read delivers nothing); reads
    // after the last entry deliver all that is asked.
    std::vector<size_t> deliveries;
    int connectedReads = -1;   // the client is gone once this many reads were made
    bool failPastEnd = false;  // a read at the end of the body fails instead of delivering 0
    size_t overclaim = 0;      // a broken host: reads report this many bytes more than they copy
    std::map<std::string, int> failFrom;  // call name -> the first call (1-based) that fails
    ustring mappedPath = u"C:\\inetpub\\wwwroot\\app";

    std::vector<std::string> calls;  // every call in order, by name
    std::vector<Read> reads;
    std::vector<std::pair<ustring, int32_t>> stored;  // Application values, in order
    std::vector<ustring> removed;

    size_t position = 0;
    std::map<std::string, int> counts;

    void fail(const std::string& call, int fromCall = 1) { failFrom[call] = fromCall; }
    std::vector<int64_t> asked() const {
      std::vector<int64_t> out;
      for (const Read& r : reads) out.push_back(r.asked);
      return out;
    }
    std::vector<int32_t> progress() const {
      std::vector<int32_t> out;
      for (const auto& s : stored) out.push_back(s.second);
      return out;
    }
  };

  explicit FakeHost(std::shared_ptr<Script> script) : s_(std::move(script)) {}

  int32_t TotalBytes() override {
    enter("TotalBytes");
    return s_->totalBytes ? *s_->totalBytes : static_cast<int32_t>(s_->body.size());
  }

  bool IsClientConnected() override {
    enter("IsClientConnected");
    return s_->connectedReads < 0 || static_cast<int>(s_->reads.size()) < s_->connectedReads;
  }

  // Each block is a new copy, freed by the next read, so that a reader that
  // kept pointers into an old block reads freed memory (which the sanitizers
  // report).
  std::unique_ptr<IHostBlock> BinaryRead(int64_t count, bool countAsInt64) override {
    enter("BinaryRead");
    size_t left = s_->body.size() - s_->position;
    if (left == 0 && s_->failPastEnd) throw failure("BinaryRead");
    size_t n = count < 0 ? 0 : static_cast<size_t>(count);
    if (n > left) n = left;
    size_t index = s_->reads.size();
    if (index < s_->deliveries.size() && n > s_->deliveries[index]) n = s_->deliveries[index];
    block_ = std::make_unique<uint8_t[]>(n + s_->overclaim);
    if (n) std::memcpy(block_.get(), s_->body.data() + s_->position, n);
    s_->position += n;
    s_->reads.push_back({count, countAsInt64, n});
    return std::make_unique<TBorrowedBlock>(ByteSpan{block_.get(), n + s_->overclaim});
  }

  void SetApplicationValue(const ustring& key, int32_t value) override {
    enter("SetApplicationValue");
    s_->stored.emplace_back(key, value);
  }

  void RemoveApplicationValue(const ustring& key) override {
    enter("RemoveApplicationValue");
    s_->removed.push_back(key);
  }

  ustring MapPath(const ustring& path) override {
    enter("MapPath");
    return path == u"." ? s_->mappedPath : ustring();
  }

 private:
  static EHostCallError failure(const std::string& call) {
    return EHostCallError(u"Host call failed: " + fromUtf8(call), static_cast<HRESULT_t>(0x80004005));
  }

  void enter(const std::string& call) {
    s_->calls.push_back(call);
    int n = ++s_->counts[call];
    auto it = s_->failFrom.find(call);
    if (it != s_->failFrom.end() && n >= it->second) throw failure(call);
  }

  std::shared_ptr<Script> s_;
  std::unique_ptr<uint8_t[]> block_;
};

}  // namespace velmora::testing
