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

namespace velmora {

// A size as the Long a script receives: one that a Long cannot hold is
// refused, never wrapped into a negative or a smaller number.
int32_t SizeAsLong(int64_t size, const char16_t* member);

struct TProcess::State {
  explicit State(std::unique_ptr<IUploadHost> h) : host(std::move(h)) {}

  std::unique_ptr<IUploadHost> host;

  int32_t FMaxKB = 0;
  int32_t FStatus = 0;
  int64_t FTotalBytes = 0;  // the declared length (declaredLength)
  TowModeType FowMode = owAlways;
  ustring FOverwriteChr = u"~";
  ustring FVarDelimiter = u", ";
  bool FShowProgress = false;
  ustring FProgressID;
  bool FSaveDirect = false;
  ustring FSaveDirectName;
  ustring FSaveDirectPath;
  bool FSaveDirectUseExistingName = false;
  ustring FCharset = u"UTF-8";  // "UTF-8" or "WINDOWS-1252"
  ustring Debug;

  // The counters owRename took, shared by every object of the process, so
  // that a new request does not search again past the copies there.
  TRenameCounters& renames = TRenameCounters::Shared();
  // Variables, repeats, tags and files, filled as the parts arrive.
  TUploadResults results;

  // Reading. True when the whole body was taken.
  bool readBody(TMultipartParser& parser, TUploadReceiver& receiver);
  // The body's length as the client declared it: TotalBytes read as
  // unsigned, or CONTENT_LENGTH where TotalBytes cannot hold it.
  int64_t declaredLength();

  // Appends the later occurrences of a variable (FMultiVar), each after the
  // delimiter; returns how many there were.
  int appendRepeats(ustring_view name, ustring& result) const;
  // The record behind a file member, after the checks every such member makes.
  const TFileRecord& checkedFile(int32_t index) const;
  // The in-memory bytes of a file for FileSize, FileData, FileAsBase64 and
  // FileSave; member names the caller in the refusals.
  const TChunkedMemoryStream& fileBytes(int32_t index, const char16_t* member) const;
};

}  // namespace velmora
