// TProcess: lifecycle, scalar properties and the reading of the request body.
// Variables and file access are in process_results.cpp; the members that touch
// the file system are in the *_win32.cpp files beside it.
#include "process/process.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "base/errors.h"
#include "io/paths.h"
#include "process/direct_save.h"
#include "process/multipart_parser.h"
#include "process/process_state.h"
#include "process/upload_receiver.h"
#include "velmora_version.h"

namespace velmora {

namespace {

constexpr int64_t kBlockSize = 102400;

// Runs a step of the parse (a block, or settling the last file) and reports
// its failure as one while a block is parsed (#3).
template <class Step>
void parseStep(Step&& step) {
  try {
    step();
  } catch (const EBodyRefused& refused) {
    // One the client caused and can be told about: the message says what.
    throw EUploadError(u"Velmora Error: " + refused.message() + u" (#3)");
  } catch (const Exception& failure) {
    // The cause (the system's text for a file that cannot be created or
    // written) follows the number, so that a page or a log says what to fix.
    throw EUploadError(u"Velmora Error: Error reading block. (#3) " + failure.message());
  } catch (...) {
    throw EUploadError(u"Velmora Error: Error reading block. (#3)");
  }
}

// round(100 * done / total) with halves going to the even neighbour, in exact
// integer arithmetic (done <= total < 2^56, so nothing overflows).
int32_t ProgressPercent(int64_t done, int64_t total) {
  int64_t scaled = 100 * done;
  int64_t quotient = scaled / total;
  int64_t twiceRest = 2 * (scaled % total);
  if (twiceRest > total || (twiceRest == total && (quotient & 1))) ++quotient;
  return static_cast<int32_t>(quotient);
}

}  // namespace

TProcess::TProcess(std::unique_ptr<IUploadHost> host)
    : s_(std::make_unique<State>(std::move(host))) {}

// Each step stands on its own: a failure of one never keeps the next from
// running, and nothing escapes to the caller.
TProcess::~TProcess() {
  State& s = *s_;
  s.results.FMultiVar.clear();
  // An unfinished direct-save file goes with its record.
  s.results.FFiles.clear();
  s.results.FFileQty = 0;
  s.results.FTagNameList.clear();
  s.results.FVariableList.clear();
  if (s.FShowProgress) {
    try {
      s.host->RemoveApplicationValue(s.FProgressID);
    } catch (...) {
      // No page to reach (the object used outside a request): nothing to remove.
    }
  }
}

int32_t TProcess::MaxKB() const { return s_->FMaxKB; }
void TProcess::SetMaxKB(int32_t value) { s_->FMaxKB = value; }
int32_t TProcess::Status() const { return s_->FStatus; }
int32_t TProcess::TotalBytes() const { return SizeAsLong(s_->FTotalBytes, u"TotalBytes"); }
bool TProcess::ShowProgress() const { return s_->FShowProgress; }
void TProcess::SetShowProgress(bool value) { s_->FShowProgress = value; }
ustring TProcess::ProgressID() const { return s_->FProgressID; }
void TProcess::SetProgressID(const ustring& value) { s_->FProgressID = value; }
bool TProcess::SaveDirect() const { return s_->FSaveDirect; }
void TProcess::SetSaveDirect(bool value) { s_->FSaveDirect = value; }
ustring TProcess::SaveDirectName() const { return s_->FSaveDirectName; }
void TProcess::SetSaveDirectName(const ustring& value) { s_->FSaveDirectName = value; }
ustring TProcess::SaveDirectPath() const { return s_->FSaveDirectPath; }
void TProcess::SetSaveDirectPath(const ustring& value) { s_->FSaveDirectPath = value; }
bool TProcess::SaveDirectUseExistingName() const { return s_->FSaveDirectUseExistingName; }
void TProcess::SetSaveDirectUseExistingName(bool value) { s_->FSaveDirectUseExistingName = value; }
ustring TProcess::Debug() const { return s_->Debug; }

int32_t TProcess::OverwriteMode() const { return s_->FowMode; }
void TProcess::SetOverwriteMode(int32_t value) {
  s_->FowMode = value == owNever ? owNever : value == owRename ? owRename : owAlways;
}
ustring TProcess::OverwriteChr() const { return s_->FOverwriteChr; }
void TProcess::SetOverwriteChr(const ustring& value) { s_->FOverwriteChr = value; }

void TProcess::Read() {
  State& s = *s_;
  if (s.FSaveDirect &&
      (s.FSaveDirectPath.empty() || (s.FSaveDirectName.empty() && !s.FSaveDirectUseExistingName)))
    throw EUploadError(u"A file path must be specified when saving direct.");

  std::unique_ptr<IFileDestinations> direct;
  if (s.FSaveDirect)
    direct = MakeDirectSave({s.FSaveDirectPath, s.FSaveDirectName, s.FSaveDirectUseExistingName,
                             s.FowMode, s.FOverwriteChr, &s.renames});
  auto charset =
      s.FCharset == u"UTF-8" ? TMultipartParser::Charset::Utf8 : TMultipartParser::Charset::Ansi;

  // Each read lists its own variables; repeats, tags and files accumulate.
  s.results.FVariableList.clear();
  TUploadReceiver receiver(s.results, charset, direct.get());
  TMultipartParser parser(receiver, charset);
  bool whole = false;
  std::exception_ptr failure;
  try {
    whole = s.readBody(parser, receiver);
  } catch (...) {
    failure = std::current_exception();
  }
  // However the reading ended, what was parsed stays listed. A body that
  // ends inside a part, though the client is there and every byte came, was
  // cut or malformed: what was complete before it stays, the cut file is
  // neither listed nor stored, and the read fails. (A client gone returns
  // quietly: pages ask Response.IsClientConnected.)
  if (parser.finish() && whole) {
    receiver.dropCutFile();
    failure = std::make_exception_ptr(
        EUploadError(u"Velmora Error: The body ended before its closing delimiter. (#3)"));
  }
  receiver.bodyEnded();
  if (failure) std::rethrow_exception(failure);
}

int64_t TProcess::State::declaredLength() {
  const int64_t total = static_cast<uint32_t>(host->TotalBytes());
  // TotalBytes is a Long: past 4 GiB the host can only wrap the length or
  // give its largest value. CONTENT_LENGTH says it in full; taken only when
  // it agrees with TotalBytes, so a host that says nothing keeps its value.
  std::optional<ustring> header = host->ServerVariable(u"CONTENT_LENGTH");
  if (!header || header->empty() || header->size() > 15) return total;
  int64_t length = 0;
  for (char16_t c : *header) {
    if (c < u'0' || c > u'9') return total;
    length = length * 10 + (c - u'0');
  }
  const bool agrees = (length & 0xFFFFFFFF) == total || total == 0xFFFFFFFF;
  return length > 0xFFFFFFFF && agrees ? length : total;
}

bool TProcess::State::readBody(TMultipartParser& parser, TUploadReceiver& receiver) {
  try {
    FTotalBytes = declaredLength();
  } catch (...) {
    throw EUploadError(u"Velmora Error: Error finding size of upload. (#1)");
  }
  // Where the host tells the request's type, the body is read only as the
  // multipart/form-data body it declares, as any other reader of the request
  // (a filter in front, a proxy) reads it. A host that tells nothing leaves
  // the body's first line as its delimiter.
  if (FTotalBytes > 0) {
    if (std::optional<ustring> type = host->ServerVariable(u"CONTENT_TYPE")) {
      std::optional<std::string> boundary = MultipartBoundary(*type);
      if (!boundary)
        throw EUploadError(u"Velmora Error: The request is not multipart/form-data with a boundary: its "
                           u"Content-Type is \"" + *type + u"\". (#3)");
      parser.expectBoundary(*boundary);
    }
  }

  // A host that gives TotalBytes its largest value, with nothing that says
  // more, cannot tell the length: the body is read until the host has no
  // more, and its own framing tells whether it came whole.
  const bool toItsEnd = FTotalBytes == 0xFFFFFFFF;

  // One block in memory at a time, parsed where the host put it and
  // released before the next one is asked for.
  int64_t done = 0;
  while (toItsEnd || done < FTotalBytes) {
    if (!host->IsClientConnected()) return false;

    int64_t remaining = toItsEnd ? kBlockSize : FTotalBytes - done;
    int64_t count = remaining < kBlockSize ? remaining : kBlockSize;
    std::unique_ptr<IHostBlock> block;
    ustring cause;  // the host's own description of its failure
    try {
      block = host->BinaryRead(count, remaining < kBlockSize);
    } catch (const Exception& failure) {
      cause = u" " + failure.message();
    } catch (...) {
      // No block: reported below with the bytes read so far.
    }
    const ByteSpan delivered = block ? block->bytes() : ByteSpan{};
    // A host that claims more bytes than were asked for is as broken as one
    // that fails.
    if (!block || delivered.size > static_cast<size_t>(count))
      throw EUploadError(u"Velmora Error: Error reading from ASP Request object. Total Bytes: " +
                         toDecimal(FTotalBytes) + u", Bytes Read: " + toDecimal(done) + u". (#2)" +
                         cause);
    // A host that delivers nothing while the body is incomplete will not
    // deliver the rest: stop as if the client had gone. Read to its end,
    // the body is over once at least the length the host gave has come.
    if (delivered.size == 0) {
      if (toItsEnd && done >= FTotalBytes) break;
      return false;
    }
    done += static_cast<int64_t>(delivered.size);

    if (FShowProgress && !FProgressID.empty())
      host->SetApplicationValue(FProgressID, ProgressPercent(std::min(done, FTotalBytes), FTotalBytes));

    parseStep([&] { parser.parseBlock(delivered.data, delivered.size); });
  }
  // Only now is the last file known to be the client's whole intent.
  parseStep([&] { receiver.settleLastFile(); });
  return true;
}

void TProcess::ReadChunks() {
  State& s = *s_;
  auto& files = s.results.FFiles;
  // Records dropped or replaced here release their storage, an unfinished
  // direct-save file included.
  files.resize(1);
  files[0].Storage.keepInMemory();
  TStream& bytes = *files[0].Storage.writer();

  // One byte per host call, until the host fails or delivers nothing: both
  // mean the body is over.
  for (;;) {
    if (!s.host->IsClientConnected()) {
      // The count stays, but never above the records there are.
      if (s.results.FFileQty > 1) s.results.FFileQty = 1;
      return;
    }
    try {
      const std::unique_ptr<IHostBlock> block = s.host->BinaryRead(1, false);
      const ByteSpan delivered = block ? block->bytes() : ByteSpan{};
      if (delivered.size != 1) break;
      bytes.write(delivered.data, 1);
    } catch (...) {
      break;
    }
  }
  if (bytes.size() > 0) {
    s.results.FFileQty = 1;
  } else {
    s.results.FFileQty = 0;
    files.clear();
  }
}

ustring TProcess::ParentDir(const ustring& Path) const {
  if (Path.size() <= 2) return Path;
  // The last character is never looked at: a trailing "\" is stepped over.
  const size_t nameStart = NameStart(ustring_view(Path).substr(0, Path.size() - 1), kBackslash);
  if (nameStart <= 1) return Path;  // no "\" before the last character, or only at the start
  return Path.substr(0, nameStart);
}

ustring TProcess::CurrentDir() {
  ustring dir = s_->host->MapPath(u".");
  if (dir.empty() || dir.back() != u'\\') dir += u'\\';
  return dir;
}

// The same source ships as a 32-bit and a 64-bit DLL; the version tells which.
ustring TProcess::Version() const {
  return sizeof(void*) == 8 ? u"Velmora Upload Component " VELMORA_VERSION u" (64 bit)"
                            : u"Velmora Upload Component " VELMORA_VERSION u" (32 bit)";
}

}  // namespace velmora
