// Fuzz target of the multipart parser. The input's first byte chooses the
// character set, direct mode of the upload's receiver and how the body (the
// rest) is cut into blocks. Oracle: no crash and no sanitizer report; the
// same events whole and cut; and the same events as the byte-at-a-time
// reference, fed the same blocks, checked after every block. The cut parse
// also feeds the upload's receiver, so what it makes of hostile events runs
// under the sanitizers too. A parse that passes a limit stops there, with the
// same message and events in all three; each input runs under the real limits
// and under tiny ones.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "process/fuzz/reference_parser.h"

namespace {

using namespace velmora;
using Charset = TMultipartParser::Charset;

// Every other file gets an in-memory stream, the rest none (data discarded).
class FuzzDestinations : public IFileDestinations {
 public:
  void openFile(TFileRecord& record) override {
    if (opened_++ % 2 == 0) record.Storage.keepInMemory();
  }

 private:
  int opened_ = 0;
};

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "multipart parser: %s\n--- one ---\n%s\n--- other ---\n%s\n", what, a.c_str(),
               b.c_str());
  std::abort();
}

// Limits small enough for short inputs to reach each of them.
TParserLimits tinyLimits() {
  TParserLimits limits;
  limits.delimiterLine = 8;
  limits.headerBlock = 60;
  limits.headerLines = 3;
  limits.parts = 5;
  limits.formText = 30;
  return limits;
}

// Runs a parse step; the message of a limit it reached or of a body it
// refused, or empty text.
template <class Step>
std::string refusal(Step step) {
  try {
    step();
  } catch (const EBodyRefused& e) {
    return e.what();
  }
  return std::string();
}

// The log without data still coming in at its end.
std::string withoutOpenData(const std::string& events) {
  const size_t lastLine = events.rfind('\n') + 1;  // 0 without any
  return events.compare(lastLine, 5, "data ") == 0 ? events.substr(0, lastLine) : events;
}

void check(const uint8_t* body, size_t length, uint8_t control, const TParserLimits& limits) {
  const Charset charset = (control & 1) ? Charset::Ansi : Charset::Utf8;
  const bool direct = (control & 2) != 0;
  const size_t maxBlock = 1 + (control >> 2) * 3u;

  reference::TEventLog whole, cut, reference;
  std::string wholeRefused, cutRefused;
  {
    TMultipartParser parser(whole, charset, limits);
    auto copy = std::make_unique<uint8_t[]>(length);
    if (length) std::memcpy(copy.get(), body, length);
    wholeRefused = refusal([&] { parser.parseBlock(copy.get(), length); });
    parser.finish();
  }

  FuzzDestinations files;
  TUploadResults results;
  TUploadReceiver upload(results, charset, direct ? &files : nullptr);
  reference::TTee cutAndUpload(cut, upload);
  TMultipartParser parser(cutAndUpload, charset, limits);
  reference::TReferenceParser oracle(reference, charset, limits);
  uint32_t random = 2166136261u ^ static_cast<uint32_t>(length) ^ (uint32_t{control} << 24);
  size_t compared = 0;  // of the logs, the text found equal after earlier blocks
  for (size_t done = 0; done < length && cutRefused.empty();) {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    const size_t n = std::min(length - done, 1 + random % maxBlock);
    // Each block in an allocation of its own size: a read past it is reported.
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body + done, n);
    cutRefused = refusal([&] { parser.parseBlock(block.get(), n); });
    const std::string referenceRefused = refusal([&] { oracle.parseBlock(block.get(), n); });
    done += n;
    if (cutRefused != referenceRefused) fail("refused unlike the reference", cutRefused, referenceRefused);
    // The logs only grow, so only what this block added needs comparing.
    if (cut.text().size() != reference.text().size() ||
        cut.text().compare(compared, std::string::npos, reference.text(), compared) != 0)
      fail("differs from the reference after a block", cut.text(), reference.text());
    compared = cut.text().size();
  }
  parser.finish();
  oracle.finish();
  upload.bodyEnded();
  if (cut.text() != reference.text()) fail("differs from the reference at the end", cut.text(), reference.text());

  if (cutRefused != wholeRefused) fail("refusal depends on the cut into blocks", cutRefused, wholeRefused);
  // A value refused for the form's text had as much of its data reported as
  // the ranges before the refused one held, which follows the cut.
  const std::string cutEvents = cutRefused.empty() ? cut.text() : withoutOpenData(cut.text());
  const std::string wholeEvents = wholeRefused.empty() ? whole.text() : withoutOpenData(whole.text());
  if (cutEvents != wholeEvents) fail("depends on the cut into blocks", cutEvents, wholeEvents);
  // What the receiver made is bounded by what it was told.
  if (results.FFileQty != static_cast<int32_t>(results.FFiles.size()) ||
      results.FTagNameList.count() > results.FFileQty)
    fail("the receiver's files disagree", reference::Describe(results), cut.text());
}

}  // namespace

// Every input runs under the real limits and under tiny ones.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  check(data + 1, size - 1, data[0], TParserLimits());
  check(data + 1, size - 1, data[0], tinyLimits());
  return 0;
}
