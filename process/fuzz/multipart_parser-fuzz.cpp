// Fuzz target of the multipart parser. The input's first byte chooses the
// character set, direct mode and how the body (the rest) is cut into blocks.
// Oracle: no crash and no sanitizer report; the same results whole and cut;
// and the same results as the byte-at-a-time reference, fed the same blocks,
// checked cheaply after every block and in full at the end.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const uint8_t* body = data + 1;
  const size_t length = size - 1;
  const Charset charset = (control & 1) ? Charset::Ansi : Charset::Utf8;
  const bool direct = (control & 2) != 0;
  const size_t maxBlock = 1 + (control >> 2) * 3u;

  FuzzDestinations wholeFiles, cutFiles, referenceFiles;
  TUploadResults whole, cut, reference;
  {
    TMultipartParser parser(whole, charset, direct ? &wholeFiles : nullptr);
    auto copy = std::make_unique<uint8_t[]>(length);
    if (length) std::memcpy(copy.get(), body, length);
    parser.ParseBlock(copy.get(), length);
  }

  TMultipartParser parser(cut, charset, direct ? &cutFiles : nullptr);
  reference::TReferenceParser oracle(reference, charset, direct ? &referenceFiles : nullptr);
  uint32_t random = 2166136261u ^ static_cast<uint32_t>(length) ^ (uint32_t{control} << 24);
  for (size_t done = 0; done < length;) {
    random ^= random << 13;
    random ^= random >> 17;
    random ^= random << 5;
    const size_t n = std::min(length - done, 1 + random % maxBlock);
    // Each block in an allocation of its own size: a read past it is reported.
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body + done, n);
    parser.ParseBlock(block.get(), n);
    oracle.ParseBlock(block.get(), n);
    done += n;
    if (progress(cut) != progress(reference)) fail("differs from the reference after a block", progress(cut), progress(reference));
  }

  const std::string described = reference::Describe(cut);
  if (described != reference::Describe(reference))
    fail("differs from the reference", described, reference::Describe(reference));
  if (described != reference::Describe(whole))
    fail("depends on the cut into blocks", described, reference::Describe(whole));
  return 0;
}
