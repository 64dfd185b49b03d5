// The upload object's fields, shared by the files TProcess is split into, and
// the few routines that sit at the platform's edge.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "process/host.h"
#include "process/multipart_parser.h"
#include "process/process.h"
#include "process/upload_receiver.h"
#include "textutils/stringlist.h"
#include "textutils/ustring.h"

namespace velmora {

class TStagedFile;

// The first target the overwrite policy allows, from base + extension:
// under owAlways that name; under owNever that name when take(name) accepts
// it, else empty text; under owRename the first of base + extension, then
// base + overwriteChr + 1, 2, ... + extension that take accepts. take either
// tests a name (a guess) or takes it for good (TStagedFile::commitIfFree).
ustring UniqueTarget(const ustring& base, const ustring& extension, TowModeType mode,
                     const ustring& overwriteChr, const std::function<bool(const ustring&)>& take);

// Gives staged its target under the policy and returns it (empty text when
// owNever found the name taken). A name counts as free at the moment the
// file takes it, so concurrent saves of one name never overwrite each other.
ustring CommitUniqueTarget(TStagedFile& staged, const ustring& base, const ustring& extension,
                           TowModeType mode, const ustring& overwriteChr);

struct TProcess::State {
  explicit State(std::unique_ptr<IUploadHost> h) : host(std::move(h)) {}

  std::unique_ptr<IUploadHost> host;

  int32_t MaxKB = 0;
  int32_t Status = 0;
  int64_t TotalBytes = 0;  // the host's 32-bit value, read as unsigned
  TowModeType owMode = owAlways;
  ustring OverwriteChr = u"~";
  ustring VarDelimiter = u", ";
  TStringList MultiVar;      // second and later occurrences of a variable
  TStringList VariableList;  // first occurrences, and one line per file field
  bool ShowProgress = false;
  ustring ProgressID;
  bool SaveDirect = false;
  ustring SaveDirectName;
  ustring SaveDirectPath;
  bool SaveDirectUseExistingName = false;
  ustring Charset = u"UTF-8";  // "UTF-8" or "WINDOWS-1252"
  ustring Debug;

  // Files, FileQty and TagNameList persist across reads; FormEntities lives
  // only while Read runs.
  TUploadResults results;

  // Direct saving: the record of the last direct-save file whose read has
  // not consumed its whole body. It stays unfinished (and release deletes
  // it) until that read completes or another direct-save file begins.
  static constexpr size_t kNoUnfinishedFile = static_cast<size_t>(-1);
  size_t unfinishedFile = kNoUnfinishedFile;
  // record, one of results.Files, begins writing file at path.
  void BeginDirectFile(TFileRecord& record, std::unique_ptr<TStream> file, const ustring& path);
  void SettleDirectFile();

  // Reading.
  void ReadBody(TMultipartParser& parser);
  void BuildVariableLists();

  // Direct saving, at the platform's edge (direct_save_win32.cpp); without a
  // file layer a direct-mode Read fails at its first file part.
  class DirectSave;
  std::unique_ptr<IFileDestinations> MakeDirectSave();

  // Appends the later occurrences of a variable (MultiVar), each after the
  // delimiter; returns how many there were.
  int AppendRepeats(ustring_view name, ustring& result) const;
  // The record behind a file member, after the checks every such member makes.
  const TFileRecord& CheckedFile(int32_t index) const;
  // The in-memory bytes of a file for FileSize, FileData, FileAsBase64 and
  // FileSave; member names the caller in the refusals.
  const TChunkedMemoryStream& FileBytes(int32_t index, const char16_t* member) const;
};

}  // namespace velmora
