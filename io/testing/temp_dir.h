// A fresh directory under the system's temp folder for tests that work on real
// files, removed with everything in it when the test ends.
#pragma once

#include <windows.h>

#include "base/ustring.h"
#include "base/wide.h"

namespace velmora::testing {

class TempDir {
 public:
  explicit TempDir(const char16_t* label) {
    static int serial = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = fromWide(temp) + u"velmora-" + label + u"-" + toDecimal(GetCurrentProcessId()) +
            u"-" + toDecimal(++serial);
    created_ = CreateDirectoryW(wstr(path_), nullptr) != 0;
  }
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const ustring& path() const { return path_; }
  bool created() const { return created_; }

  static void RemoveTree(const ustring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(wstr(dir + u"\\*"), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        ustring name = fromWide(fd.cFileName);
        if (name == u"." || name == u"..") continue;
        ustring path = dir + u"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(path);
        else
          DeleteFileW(wstr(path));
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(wstr(dir));
  }

 private:
  ustring path_;
  bool created_ = false;
};

}  // namespace velmora::testing
