// TProcess: lifecycle, scalar properties and the reading of the request body.
// Variables and file access are in process_results.cpp; the members that touch
// the file system are in the *_win32.cpp files beside it.
#include "process/process.h"

#include <exception>

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
void ParseStep(Step&& step) {
  try {
    step();
  } catch (const EUploadLimitError& refused) {
    // One the client caused and can be told about: the message names the limit.
    throw EUploadError(u"Velmora Error: " + refused.message() + u" (#3)");
  } catch (...) {
    throw EUploadError(u"Velmora Error: Error reading block. (#3)");
  }
}

// round(100 * done / total) with halves going to the even neighbour, in exact
// integer arithmetic (done <= total < 2^32, so nothing overflows).
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
  s.MultiVar.clear();
  // An unfinished direct-save file goes with its record.
  s.results.Files.clear();
  s.results.FileQty = 0;
  s.results.TagNameList.clear();
  s.VariableList.clear();
  if (s.ShowProgress) {
    try {
      s.host->RemoveApplicationValue(s.ProgressID);
    } catch (...) {
      // No page to reach (the object used outside a request): nothing to remove.
    }
  }
}

int32_t TProcess::MaxKB() const { return s_->MaxKB; }
void TProcess::SetMaxKB(int32_t value) { s_->MaxKB = value; }
int32_t TProcess::Status() const { return s_->Status; }
int32_t TProcess::TotalBytes() const { return static_cast<int32_t>(s_->TotalBytes); }
bool TProcess::ShowProgress() const { return s_->ShowProgress; }
void TProcess::SetShowProgress(bool value) { s_->ShowProgress = value; }
ustring TProcess::ProgressID() const { return s_->ProgressID; }
void TProcess::SetProgressID(const ustring& value) { s_->ProgressID = value; }
bool TProcess::SaveDirect() const { return s_->SaveDirect; }
void TProcess::SetSaveDirect(bool value) { s_->SaveDirect = value; }
ustring TProcess::SaveDirectName() const { return s_->SaveDirectName; }
void TProcess::SetSaveDirectName(const ustring& value) { s_->SaveDirectName = value; }
ustring TProcess::SaveDirectPath() const { return s_->SaveDirectPath; }
void TProcess::SetSaveDirectPath(const ustring& value) { s_->SaveDirectPath = value; }
bool TProcess::SaveDirectUseExistingName() const { return s_->SaveDirectUseExistingName; }
void TProcess::SetSaveDirectUseExistingName(bool value) { s_->SaveDirectUseExistingName = value; }
ustring TProcess::Debug() const { return s_->Debug; }

int32_t TProcess::OverwriteMode() const { return s_->owMode; }
void TProcess::SetOverwriteMode(int32_t value) {
  s_->owMode = value == owNever ? owNever : value == owRename ? owRename : owAlways;
}
ustring TProcess::OverwriteChr() const { return s_->OverwriteChr; }
void TProcess::SetOverwriteChr(const ustring& value) { s_->OverwriteChr = value; }

void TProcess::Read() {
  State& s = *s_;
  if (s.SaveDirect &&
      (s.SaveDirectPath.empty() || (s.SaveDirectName.empty() && !s.SaveDirectUseExistingName)))
    throw EUploadError(u"A file path must be specified when saving direct.");

  s.results.FormEntities.clear();
  std::unique_ptr<IFileDestinations> direct;
  if (s.SaveDirect)
    direct = MakeDirectSave({s.SaveDirectPath, s.SaveDirectName, s.SaveDirectUseExistingName,
                             s.owMode, s.OverwriteChr, &s.Renames});
  auto charset =
      s.Charset == u"UTF-8" ? TMultipartParser::Charset::Utf8 : TMultipartParser::Charset::Ansi;

  // However the reading ends, what was parsed becomes the variable lists; the
  // failure, if any, is reported after that.
  std::exception_ptr failure;
  {
    TUploadReceiver receiver(s.results, charset, direct.get());
    TMultipartParser parser(receiver, charset);
    bool whole = false;
    try {
      whole = s.ReadBody(parser, receiver);
    } catch (...) {
      failure = std::current_exception();
    }
    // A body that ends inside a part, though the client is there and every
    // byte came, was cut or malformed: what was complete before it stays,
    // the cut file is neither listed nor stored, and the read fails. (A
    // client gone returns quietly: pages ask Response.IsClientConnected.)
    if (parser.Finish() && whole) {
      receiver.dropCutFile();
      failure = std::make_exception_ptr(
          EUploadError(u"Velmora Error: The body ended before its closing delimiter. (#3)"));
    }
  }
  s.BuildVariableLists();
  s.results.FormEntities.clear();
  if (failure) std::rethrow_exception(failure);
}

bool TProcess::State::ReadBody(TMultipartParser& parser, TUploadReceiver& receiver) {
  int32_t declared;
  try {
    declared = host->TotalBytes();
  } catch (...) {
    throw EUploadError(u"Velmora Error: Error finding size of upload. (#1)");
  }
  TotalBytes = static_cast<uint32_t>(declared);

  // One block in memory at a time, never more than the body needs.
  std::unique_ptr<uint8_t[]> block;
  int64_t done = 0;
  while (done < TotalBytes) {
    if (!host->IsClientConnected()) return false;
    if (!block) block.reset(new uint8_t[TotalBytes < kBlockSize ? TotalBytes : kBlockSize]);

    int64_t remaining = TotalBytes - done;
    int64_t count = remaining < kBlockSize ? remaining : kBlockSize;
    size_t delivered = 0;
    bool failed = false;
    try {
      delivered = host->BinaryRead(count, remaining < kBlockSize, block.get());
    } catch (...) {
      failed = true;
    }
    // A host that claims more bytes than were asked for is as broken as one
    // that fails.
    if (failed || delivered > static_cast<size_t>(count))
      throw EUploadError(u"Velmora Error: Error reading from ASP Request object. Total Bytes: " +
                         toDecimal(TotalBytes) + u", Bytes Read: " + toDecimal(done) + u". (#2)");
    // A host that delivers nothing while the body is incomplete will not
    // deliver the rest: stop as if the client had gone.
    if (delivered == 0) return false;
    done += static_cast<int64_t>(delivered);

    if (ShowProgress && !ProgressID.empty())
      host->SetApplicationValue(ProgressID, ProgressPercent(done, TotalBytes));

    ParseStep([&] { parser.ParseBlock(block.get(), delivered); });
  }
  // Only now is the last file known to be the client's whole intent.
  ParseStep([&] { receiver.settleLastFile(); });
  return true;
}

// The first occurrence of every named variable, one line per file field, and
// the later occurrences apart in MultiVar (which a second Read extends). Each
// entity is released as soon as a line holds its text, so the text is never
// held twice over.
void TProcess::State::BuildVariableLists() {
  VariableList.clear();
  VariableList.reserve(static_cast<int>(results.FormEntities.size()));
  for (TFormEntity& entity : results.FormEntities) {
    if (entity.IsFile)
      VariableList.addPair(entity.Name, entity.FileName);
    else if (VariableList.indexOfName(entity.Name) >= 0)
      MultiVar.addPair(entity.Name, entity.Value);
    else if (!entity.Name.empty())
      VariableList.addPair(entity.Name, entity.Value);
    entity = TFormEntity();
  }
}

void TProcess::ReadChunks() {
  State& s = *s_;
  auto& files = s.results.Files;
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
      if (s.results.FileQty > 1) s.results.FileQty = 1;
      return;
    }
    uint8_t byte;
    try {
      if (s.host->BinaryRead(1, false, &byte) != 1) break;
      bytes.write(&byte, 1);
    } catch (...) {
      break;
    }
  }
  if (bytes.size() > 0) {
    s.results.FileQty = 1;
  } else {
    s.results.FileQty = 0;
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
