// The upload object's private fields and routines, shared only by the files
// TProcess's own members are split into (process.cpp, process_results.cpp,
// save_win32.cpp). Everything else talks to the object through its members.
#pragma once

#include <cstdint>
#include <memory>

#include "base/ustring.h"
#include "process/host.h"
#include "process/multipart_parser.h"
#include "process/overwrite_policy.h"
#include "process/process.h"
#include "process/upload_receiver.h"
#include "text/stringlist.h"

namespace velmora {

// A size as the Long a script receives: one that a Long cannot hold is
// refused, never wrapped into a negative or a smaller number.
int32_t SizeAsLong(int64_t size, const char16_t* member);

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

  // The counters owRename took, for every save of this object; declared
  // before the files, which may still use them as they are released.
  TRenameCounters Renames;
  // Files, FileQty and TagNameList persist across reads; FormEntities lives
  // only while Read runs.
  TUploadResults results;

  // Reading. True when the whole body was taken.
  bool ReadBody(TMultipartParser& parser, TUploadReceiver& receiver);
  void BuildVariableLists();

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
