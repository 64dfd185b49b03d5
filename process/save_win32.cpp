// TProcess: saving an uploaded file under the overwrite policy, and copying
// the raw body to disk. Every file is written beside its target first and
// takes the target's name only when complete: a failure part-way (disk full)
// leaves the target as it was, and a name taken meanwhile by another request
// is never overwritten under owNever or owRename.
#include <windows.h>

#include "io/fileutils.h"
#include "io/paths.h"
#include "io/staged_file.h"
#include "process/overwrite_policy.h"
#include "process/process.h"
#include "process/process_state.h"

namespace velmora {

ustring CommitUniqueTarget(TStagedFile& staged, const ustring& base, const ustring& extension,
                           TowModeType mode, const ustring& overwriteChr,
                           TRenameCounters& renames) {
  if (mode == owAlways) {
    staged.commitReplacing(base + extension);
    return base + extension;
  }
  return TakeTarget(
      base, extension, mode, overwriteChr, renames,
      [](const ustring& name) { return !IsExistingFile(name); },
      [&](const ustring& name) { return staged.commitIfFree(name); });
}

void TProcess::FileSave(const ustring& FileName, int32_t Index) {
  const TChunkedMemoryStream& bytes = s_->fileBytes(Index, u"FileSave");
  TFileRecord& record = s_->results.FFiles[static_cast<size_t>(Index)];
  // Nothing to write: the check below at the rename still guards the race.
  if (s_->FowMode == owNever && IsExistingFile(FileName)) return;

  TStagedFile staged(FileName);
  // Written from the chunks as they are, never gathered into one copy.
  bytes.forEachRun([&](const uint8_t* data, size_t size) { staged.write(data, size); });
  const size_t dot = ExtensionStart(FileName, kScriptSeparators);
  ustring target = CommitUniqueTarget(staged, FileName.substr(0, dot), FileName.substr(dot),
                                      s_->FowMode, s_->FOverwriteChr, s_->renames);
  if (s_->FowMode == owRename) record.NewName = AfterLastSeparator(target, kScriptSeparators);
}

void TProcess::DumpHeader(const ustring& FileName) {
  constexpr int64_t kChunk = 4096;
  TStagedFile file(FileName);
  const int64_t total = s_->declaredLength();
  try {
    for (int64_t done = 0; done < total;) {
      // A client gone ends the copy; what arrived is kept.
      if (!s_->host->IsClientConnected()) break;
      int64_t remaining = total - done;
      int64_t count = remaining < kChunk ? remaining : kChunk;
      const std::unique_ptr<IHostBlock> block = s_->host->BinaryRead(count, remaining < kChunk);
      const ByteSpan delivered = block ? block->bytes() : ByteSpan{};
      // Counting what arrived, not what was asked, keeps a short read from
      // leaving a hole; a read that delivers nothing ends the copy.
      if (delivered.size == 0) break;
      if (delivered.size > static_cast<size_t>(count)) throw EReadError();
      file.write(delivered.data, delivered.size);
      done += static_cast<int64_t>(delivered.size);
    }
  } catch (const Exception& failure) {
    // The cause follows: the system's (a full disk) or the host's.
    throw EUploadError(u"Error reading uploaded file or form data. " + failure.message());
  } catch (...) {
    throw EUploadError(u"Error reading uploaded file or form data.");
  }
  file.commitReplacing(FileName);
}

}  // namespace velmora
