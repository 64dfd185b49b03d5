// An in-process ASP host for tests of the upload object: it serves a body in
// reads of any size (short ones and empty ones included), can report the
// client gone, can fail any call, and records every call it receives. What it
// saw stays readable after the object that owned the host is gone.
#pragma once

#include <algorithm>
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
    // Request.ServerVariables; unset: a host that has none.
    std::optional<std::map<ustring, ustring>> serverVariables;
    // A run of fillerBytes 'x' bytes served in place at offset fillerAt of
    // body, so that a test can send a body larger than memory.
    uint64_t fillerBytes = 0;
    size_t fillerAt = 0;

    std::vector<std::string> calls;  // every call in order, by name
    std::vector<Read> reads;
    std::vector<std::pair<ustring, int32_t>> stored;  // Application values, in order
    std::vector<ustring> removed;

    uint64_t position = 0;
    std::map<std::string, int> counts;

    uint64_t size() const { return body.size() + fillerBytes; }

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
    return s_->totalBytes ? *s_->totalBytes : static_cast<int32_t>(s_->size());
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
    uint64_t left = s_->size() - s_->position;
    if (left == 0 && s_->failPastEnd) throw failure("BinaryRead");
    size_t n = count < 0 ? 0 : static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(count), left));
    size_t index = s_->reads.size();
    if (index < s_->deliveries.size() && n > s_->deliveries[index]) n = s_->deliveries[index];
    block_ = std::make_unique<uint8_t[]>(n + s_->overclaim);
    for (size_t done = 0; done < n;) done += copyFrom(s_->position + done, block_.get() + done, n - done);
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

  std::optional<ustring> ServerVariable(const ustring& name) override {
    if (!s_->serverVariables) return std::nullopt;
    enter("ServerVariables");
    auto it = s_->serverVariables->find(name);
    return it == s_->serverVariables->end() ? ustring() : it->second;
  }

 private:
  static EHostCallError failure(const std::string& call) {
    return EHostCallError(u"Host call failed: " + fromUtf8(call), static_cast<HRESULT_t>(0x80004005));
  }

  // Copies bytes of the served body from offset at; returns how many (> 0).
  size_t copyFrom(uint64_t at, uint8_t* out, size_t count) const {
    const std::string& body = s_->body;
    if (at < s_->fillerAt) {
      const size_t n = std::min<size_t>(count, s_->fillerAt - at);
      std::memcpy(out, body.data() + at, n);
      return n;
    }
    if (at < s_->fillerAt + s_->fillerBytes) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, s_->fillerAt + s_->fillerBytes - at));
      std::memset(out, 'x', n);
      return n;
    }
    const size_t n = std::min<size_t>(count, body.size() - static_cast<size_t>(at - s_->fillerBytes));
    std::memcpy(out, body.data() + (at - s_->fillerBytes), n);
    return n;
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
