// Fuzz target of the multipart parser. The input's first byte chooses the
// character set, direct mode and how the body (the rest) is cut into blocks.
// Oracle: no crash and no sanitizer report; the same results whole and cut;
// and the same results as the byte-at-a-time reference, fed the same blocks,
// checked cheaply after every block and in full at the end. A parse that
// passes a limit stops there, with the same message and results in all
// three; each input runs under the real limits and under tiny ones.
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

// Every other file gets an in-memory stream, the rest none (data discarded);
// NewName shows the calls to the result comparison.
class FuzzDestinations : public IFileDestinations {
 public:
  void OpenFile(TFileRecord& record) override {
    record.NewName = u"open";
    if (opened_++ % 2 == 0) record.FileStream = std::make_unique<TMemoryStream>();
  }
  void CloseFile(TFileRecord& record) override { record.NewName = u"closed"; }

 private:
  int opened_ = 0;
};

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "multipart parser: %s\n--- one ---\n%s\n--- other ---\n%s\n", what, a.c_str(),
               b.c_str());
  std::abort();
}

// What a block changes: counts and the bytes written to the last file.
std::string progress(const TUploadResults& r) {
  std::string out = std::to_string(r.FormEntities.size()) + " " + std::to_string(r.FileQty) + " " +
                    std::to_string(r.TagNameList.count());
  if (!r.Files.empty() && r.Files.back().FileStream)
    out += " " + std::to_string(r.Files.back().FileStream->size());
  return out;
}

// Limits small enough for short inputs to reach each of them.
TParserLimits tinyLimits() {
  TParserLimits limits;
  limits.delimiterLine = 8;
  limits.headerLine = 40;
  limits.headerLines = 3;
  limits.parts = 5;
  limits.formText = 30;
  return limits;
}

// Runs a parse step; the message of a limit it reached, or empty text.
template <class Step>
std::string refusal(Step step) {
  try {
    step();
  } catch (const EUploadLimitError& e) {
    return e.what();
  }
  return std::string();
}

void check(const uint8_t* body, size_t length, uint8_t control, const TParserLimits& limits) {
  const Charset charset = (control & 1) ? Charset::Ansi : Charset::Utf8;
  const bool direct = (control & 2) != 0;
  const size_t maxBlock = 1 + (control >> 2) * 3u;

  FuzzDestinations wholeFiles, cutFiles, referenceFiles;
  TUploadResults whole, cut, reference;
  std::string wholeRefused, cutRefused;
  {
    TMultipartParser parser(whole, charset, direct ? &wholeFiles : nullptr, limits);
    auto copy = std::make_unique<uint8_t[]>(length);
    if (length) std::memcpy(copy.get(), body, length);
    wholeRefused = refusal([&] { parser.ParseBlock(copy.get(), length); });
  }

  TMultipartParser parser(cut, charset, direct ? &cutFiles : nullptr, limits);
  reference::TReferenceParser oracle(reference, charset, direct ? &referenceFiles : nullptr, limits);
  uint32_t random = 2166136261u ^ static_cast<uint32_t>(length) ^ (uint32_t{control} << 24);
  for (size_t done = 0; done < length && cutRefused.empty();) {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    const size_t n = std::min(length - done, 1 + random % maxBlock);
    // Each block in an allocation of its own size: a read past it is reported.
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body + done, n);
    cutRefused = refusal([&] { parser.ParseBlock(block.get(), n); });
    const std::string referenceRefused = refusal([&] { oracle.ParseBlock(block.get(), n); });
    done += n;
    if (cutRefused != referenceRefused) fail("refused unlike the reference", cutRefused, referenceRefused);
    if (progress(cut) != progress(reference)) fail("differs from the reference after a block", progress(cut), progress(reference));
  }

  const std::string described = reference::Describe(cut);
  if (described != reference::Describe(reference))
    fail("differs from the reference", described, reference::Describe(reference));
  if (cutRefused != wholeRefused) fail("refusal depends on the cut into blocks", cutRefused, wholeRefused);
  if (described != reference::Describe(whole))
    fail("depends on the cut into blocks", described, reference::Describe(whole));
}

}  // namespace

// Every input runs under the real limits and under tiny ones.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  check(data + 1, size - 1, data[0], TParserLimits());
  check(data + 1, size - 1, data[0], tinyLimits());
  return 0;
}
