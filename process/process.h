// TProcess, the upload object behind Velmora32.Process: every member as a C++
// operation on C++ types. Failures are exceptions carrying the component's
// messages; the automation layer only converts types and calls through.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/errors.h"
#include "base/ustring.h"
#include "io/stream.h"
#include "process/file_record.h"
#include "process/host.h"
#include "process/overwrite_mode.h"
#include "process/upload_error.h"
#include "text/stringlist.h"

namespace velmora {

class TMultipartParser;

class TProcess {
 public:
  // Initialize: the defaults of a fresh object.
  explicit TProcess(std::unique_ptr<IUploadHost> host);
  // Release: frees everything, deletes the direct-save file of a read that
  // ended early, removes the progress value. Never throws.
  ~TProcess();
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  // Scalar properties.
  int32_t MaxKB() const;
  void SetMaxKB(int32_t value);
  int32_t Status() const;
  int32_t TotalBytes() const;
  bool ShowProgress() const;
  void SetShowProgress(bool value);
  ustring ProgressID() const;
  void SetProgressID(const ustring& value);
  bool SaveDirect() const;
  void SetSaveDirect(bool value);
  ustring SaveDirectName() const;
  void SetSaveDirectName(const ustring& value);
  ustring SaveDirectPath() const;
  void SetSaveDirectPath(const ustring& value);
  bool SaveDirectUseExistingName() const;
  void SetSaveDirectUseExistingName(bool value);
  ustring Debug() const;

  // Reading the request body.
  void Read();
  void ReadChunks();
  void DumpHeader(const ustring& FileName);

  // Form variables and character sets.
  ustring Value(const ustring& VarName);
  ustring VarByIndex(int32_t Index) const;
  ustring VarName(int32_t Index) const;
  int32_t VarCount() const;
  ustring VarDelimiter() const;
  void SetVarDelimiter(const ustring& value);
  ustring TagName(int32_t Index) const;
  int32_t TagNameIndex(const ustring& TagName) const;
  ustring Charset() const;
  void SetCharset(const ustring& value);
  ustring DecodeUTF8(const ustring& UTF8In) const;

  // Uploaded files.
  int32_t FileQty() const;
  ustring FileName(int32_t Index) const;
  ustring LocalName(int32_t Index) const;
  ustring Extension(int32_t Index) const;
  ustring NameOnly(int32_t Index) const;
  ustring ContentType(int32_t Index) const;
  ustring NewName(int32_t Index) const;
  int32_t FileSize(int32_t Index) const;
  // The file's bytes, valid until the object changes; the automation layer
  // copies them into a byte array.
  const TChunkedMemoryStream& FileData(int32_t Index) const;
  ustring FileAsBase64(int32_t Index) const;

  // Saving uploaded files.
  void FileSave(const ustring& FileName, int32_t Index);
  int32_t OverwriteMode() const;
  void SetOverwriteMode(int32_t value);
  ustring OverwriteChr() const;
  void SetOverwriteChr(const ustring& value);

  // File-system operations.
  bool CreateDir(const ustring& Directory);
  bool FileExists(const ustring& FileName);
  ustring ParentDir(const ustring& Path) const;
  ustring CurrentDir();
  void AppendToFile(const ustring& FileName, const ustring& NewLine);
  void Copy(const ustring& OldName, const ustring& NewName);
  void Rename(const ustring& OldName, const ustring& NewName);
  void Delete(const ustring& FileName);
  ustring CreateGUID();
  ustring Version() const;

 private:
  // Fields and private routines are the implementation's; see process.cpp.
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace velmora
