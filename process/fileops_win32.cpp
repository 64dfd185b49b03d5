// TProcess: the small file-system operations offered to scripts. Paths go to
// the system as given; a relative one is taken against the current directory.
#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/system_text.h"
#include "base/wide.h"
#include "io/fileutils.h"
#include "io/staged_file.h"
#include "process/fileops.h"
#include "process/process.h"

namespace velmora {

namespace {

// A text file open for appending; I/O errors carry the system's code. A
// failed append is taken back: the file returns to its old length and bytes,
// and a file the append created is removed.
class TTextAppender {
 public:
  explicit TTextAppender(const ustring& path) : path_(path) {
    if (path.size() > MAX_PATH - 1) throw EInOutError(ERROR_PATH_NOT_FOUND);
    // Others may read the file while it is open, not write it.
    if (IsExistingFile(path)) {
      handle_ = CreateFileW(wstr(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      check(handle_ != INVALID_HANDLE_VALUE);
      cutAtEndOfFileMark();
    } else {
      handle_ = CreateFileW(wstr(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
      check(handle_ != INVALID_HANDLE_VALUE);
      created_ = true;
    }
  }

  ~TTextAppender() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  void write(const std::string& bytes) {
    DWORD written = 0;
    bool ok = WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    // A short write without an error code is a full disk: the runtime's I/O
    // error 101, a disk write error.
    constexpr DWORD kDiskWriteError = 101;
    DWORD error = !ok ? GetLastError() : written != bytes.size() ? kDiskWriteError : 0;
    if (!error && !FlushFileBuffers(handle_)) error = GetLastError();
    if (error) {
      takeBack();
      throw EInOutError(static_cast<int>(error));
    }
  }

  void close() {
    HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    check(CloseHandle(h));
  }

 private:
  static void check(bool ok) {
    if (!ok) throw EInOutError(static_cast<int>(GetLastError()));
  }

  // A Ctrl+Z among the last 128 bytes (a text file's last record) marks the
  // old end of a text file: what follows it goes, and appending starts there.
  void cutAtEndOfFileMark() {
    constexpr LONGLONG kTail = 128;
    constexpr char kCtrlZ = 26;
    LARGE_INTEGER size;
    check(GetFileSizeEx(handle_, &size));
    LARGE_INTEGER start;
    start.QuadPart = size.QuadPart > kTail ? size.QuadPart - kTail : 0;
    check(SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN));
    char tail[kTail];
    DWORD got = 0;
    check(ReadFile(handle_, tail, sizeof tail, &got, nullptr));
    appendAt_ = size;
    for (DWORD i = 0; i < got; ++i) {
      if (tail[i] != kCtrlZ) continue;
      appendAt_.QuadPart = start.QuadPart + i;
      cutTail_.assign(tail + i, got - i);
      check(SetFilePointerEx(handle_, appendAt_, nullptr, FILE_BEGIN));
      check(SetEndOfFile(handle_));
      return;
    }
    LARGE_INTEGER zero{};
    check(SetFilePointerEx(handle_, zero, nullptr, FILE_END));
  }

  // Best effort, as the write has already failed: the error reported is the
  // write's.
  void takeBack() noexcept {
    if (created_) {
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
      DeleteFileW(wstr(path_));
      return;
    }
    DWORD written;
    SetFilePointerEx(handle_, appendAt_, nullptr, FILE_BEGIN);
    SetEndOfFile(handle_);
    if (!cutTail_.empty())
      WriteFile(handle_, cutTail_.data(), static_cast<DWORD>(cutTail_.size()), &written, nullptr);
  }

  ustring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool created_ = false;
  LARGE_INTEGER appendAt_{};  // where the new line starts
  std::string cutTail_;       // the Ctrl+Z and what followed it, cut off before appending
};

}  // namespace

bool TProcess::CreateDir(const ustring& Directory) { return ForceDirectoryPath(Directory); }

bool TProcess::FileExists(const ustring& FileName) { return IsExistingFile(FileName); }

void TProcess::AppendToFile(const ustring& FileName, const ustring& NewLine) {
  TTextAppender file(FileName);
  file.write(systext::unicodeToAnsi(NewLine) + "\r\n");
  file.close();
}

// Copy, Rename and Delete report nothing: a refusal of the system ends them
// quietly.

namespace {

// The system's copy of source into a staging file beside target, which then
// takes target's name (replacing a file there, or only when it is free): a
// copy that fails part-way (disk full) leaves target as it was and nothing
// beside it. False when nothing was done.
bool CopyBeside(const ustring& source, const ustring& target, bool replace) {
  try {
    TStagedFile staged(target);
    staged.close();  // the system's copy writes it
    if (!CopyFileW(wstr(source), wstr(staged.stagingPath()), FALSE)) return false;
    if (replace) {
      staged.commitReplacing(target);
      return true;
    }
    return staged.commitIfFree(target);
  } catch (const EStreamError&) {
    return false;  // no staging file in that folder, or target refused
  }
}

}  // namespace

void TProcess::Copy(const ustring& OldName, const ustring& NewName) {
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  CopyBeside(OldName, NewName, true);
  SetErrorMode(previous);
}

// A rename within a volume is the system's own; to another volume the file
// is copied beside its new name and the old one is deleted once the copy has
// taken that name (a source that cannot be deleted stays, as with MoveFile).
void TProcess::Rename(const ustring& OldName, const ustring& NewName) {
  if (MoveFileExW(wstr(OldName), wstr(NewName), 0) || GetLastError() != ERROR_NOT_SAME_DEVICE)
    return;
  if (CopyBeside(OldName, NewName, false)) DeleteFileW(wstr(OldName));
}

void TProcess::Delete(const ustring& FileName) { DeleteFileW(wstr(FileName)); }

ustring TProcess::CreateGUID() {
  GUID g;
  HRESULT hr = CoCreateGuid(&g);
  if (FAILED(hr)) throw ESystemError(SysErrorMessage(static_cast<uint32_t>(hr)), hr);
  char text[37];
  std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return fromLatin1(text);
}

}  // namespace velmora
