// Fuzz target of the answer parser. The input's first byte chooses how the
// answer (the rest) is cut into blocks. Oracle: no crash and no sanitizer
// report; the same head, body, bytes used, end and error whole and cut; body
// data only as ranges of the block being parsed; nothing used after the end.
// Each input runs under the real limits and under tiny ones.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "http_client/answer_parser.h"

namespace {

using namespace velmora;

[[noreturn]] void fail(const char* what, const std::string& a = {}, const std::string& b = {}) {
  std::fprintf(stderr, "answer parser: %s\n--- one ---\n%s\n--- other ---\n%s\n", what, a.c_str(), b.c_str());
  std::abort();
}

class TLog final : public IAnswerReceiver {
 public:
  std::string text;  // the heads and the body, not the pieces it came in
  const uint8_t* blockBegin = nullptr;
  const uint8_t* blockEnd = nullptr;

  void answerHead(TAnswerHead&& head) override {
    text += "head " + std::to_string(head.status) + " " + std::to_string(head.minorVersion) + " " + head.reason + "\n";
    for (const THeaderField& field : head.fields) text += field.name + ": " + field.value + "\n";
  }
  void answerData(const uint8_t* data, size_t size) override {
    if (size == 0 || data < blockBegin || data + size > blockEnd) fail("data empty or outside the block");
    text.append(reinterpret_cast<const char*>(data), size);
  }
};

TAnswerLimits tinyLimits() {
  TAnswerLimits limits;
  limits.headBytes = 60;
  limits.fields = 3;
  limits.chunkSizeLine = 12;
  limits.trailerBytes = 20;
  return limits;
}

// The log, the bytes used (or the error) and the end, for the answer fed in
// blocks of at most maxBlock bytes.
std::string parse(const uint8_t* answer, size_t length, size_t maxBlock, const TAnswerLimits& limits) {
  TLog log;
  TAnswerParser parser(log, limits);
  std::string outcome;
  size_t used = 0;
  uint32_t random = 2166136261u ^ static_cast<uint32_t>(length) ^ static_cast<uint32_t>(maxBlock << 20);
  for (size_t done = 0; done < length;) {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    const size_t n = std::min(length - done, 1 + random % maxBlock);
    // Each block in an allocation of its own size: a read past it is reported.
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), answer + done, n);
    done += n;
    log.blockBegin = block.get();
    log.blockEnd = block.get() + n;
    const bool endedBefore = parser.ended();
    try {
      const size_t took = parser.parse(block.get(), n);
      if (took > n || (endedBefore && took != 0) || (took < n && !parser.ended())) fail("bytes used wrongly");
      used += took;
    } catch (const EAnswerMalformed& e) {
      outcome = std::string("error ") + e.what();
      break;
    }
  }
  if (outcome.empty()) outcome = "used " + std::to_string(used);
  return log.text + outcome + " ended " + std::to_string(parser.ended()) + " whole " +
         std::to_string(parser.finish());
}

void check(const uint8_t* answer, size_t length, uint8_t control, const TAnswerLimits& limits) {
  const std::string whole = parse(answer, length, std::max<size_t>(length, 1), limits);
  const std::string cut = parse(answer, length, 1 + control % 64u, limits);
  if (whole != cut) fail("depends on the cut into blocks", whole, cut);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  check(data + 1, size - 1, data[0], TAnswerLimits());
  check(data + 1, size - 1, data[0], tinyLimits());
  return 0;
}
