// TProcess: saving an uploaded file under the overwrite policy, and copying
// the raw body to disk.
#include <windows.h>

#include "process/process.h"
#include "process/process_state.h"
#include "textutils/errors.h"
#include "textutils/filestream.h"
#include "textutils/fileutils.h"

namespace velmora {

namespace {

// Separators of a script's target path: "\" and ":" only.
size_t NameStart(const ustring& path) {
  size_t sep = path.find_last_of(u"\\:");
  return sep == ustring::npos ? 0 : sep + 1;
}

// Where the extension with its dot begins, or the length of path when it has
// none (a dot that opens the whole path does not count).
size_t ExtensionStart(const ustring& path) {
  size_t dot = path.rfind(u'.');
  if (dot == ustring::npos || dot == 0 || dot < NameStart(path)) return path.size();
  return dot;
}

// Written from the chunks as they are, never gathered into one copy.
void SaveBytes(const ustring& path, const TChunkedMemoryStream& bytes) {
  TFileStream file(path, TFileStream::Mode::Create);
  bytes.forEachRun([&](const uint8_t* data, size_t size) { file.write(data, size); });
}

}  // namespace

void TProcess::FileSave(const ustring& FileName, int32_t Index) {
  const TChunkedMemoryStream& bytes = s_->FileBytes(Index, u"FileSave");
  TFileRecord& record = s_->results.Files[static_cast<size_t>(Index)];
  switch (s_->owMode) {
    case owAlways:
      SaveBytes(FileName, bytes);
      return;
    case owNever:
      if (!IsExistingFile(FileName)) SaveBytes(FileName, bytes);
      return;
    case owRename:
      break;
  }
  ustring target = FileName;
  if (IsExistingFile(target)) {
    size_t dot = ExtensionStart(FileName);
    ustring base = FileName.substr(0, dot) + s_->OverwriteChr;
    ustring extension = FileName.substr(dot);
    for (int64_t n = 1;; ++n) {
      target = base + toDecimal(n) + extension;
      if (!IsExistingFile(target)) break;
    }
  }
  SaveBytes(target, bytes);
  record.NewName = target.substr(NameStart(target));
}

void TProcess::DumpHeader(const ustring& FileName) {
  constexpr int64_t kChunk = 4096;
  TFileStream file(FileName, TFileStream::Mode::Create);
  int64_t total = static_cast<uint32_t>(s_->host->TotalBytes());
  try {
    uint8_t buffer[kChunk];
    for (int64_t done = 0; done < total;) {
      if (!s_->host->IsClientConnected()) return;
      int64_t remaining = total - done;
      int64_t count = remaining < kChunk ? remaining : kChunk;
      size_t delivered = s_->host->BinaryRead(count, remaining < kChunk, buffer);
      // Counting what arrived, not what was asked, keeps a short read from
      // leaving a hole; a read that delivers nothing ends the copy.
      if (delivered == 0) return;
      if (delivered > static_cast<size_t>(count)) throw EReadError();
      file.write(buffer, delivered);
      done += static_cast<int64_t>(delivered);
    }
  } catch (...) {
    throw EUploadError(u"Error reading uploaded file or form data.");
  }
}

}  // namespace velmora
