#include <windows.h>

#include <vector>

#include "base/wide.h"
#include "io/fileutils.h"

namespace velmora {

bool IsExistingFile(const ustring& path) {
  DWORD attributes = GetFileAttributesW(wstr(path));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// A level counts as present when it is a directory (a link only when its
// target opens), and also when the system refuses to say for a reason other
// than "not there": creating it would fail the same way.
bool directoryExists(const ustring& path) {
  DWORD attributes = GetFileAttributesW(wstr(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_NOT_READY:
      case ERROR_BAD_NETPATH:
      case ERROR_INVALID_NAME:
        return false;
      default:
        return true;
    }
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  HANDLE h = CreateFileW(wstr(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace

bool ForceDirectoryPath(const ustring& path) {
  ustring p = path;
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  if (!p.empty() && p.back() == u'\\') p.pop_back();

  std::vector<ustring> segments;
  size_t start = 0;
  for (;;) {
    size_t sep = p.find(u'\\', start);
    segments.push_back(p.substr(start, sep == ustring::npos ? ustring::npos : sep - start));
    if (sep == ustring::npos) break;
    start = sep + 1;
  }
  if (segments.size() < 2) return false;

  ustring prefix = segments[0];  // the root: never tested, never created
  for (size_t i = 1; i < segments.size(); ++i) {
    prefix += u'\\';
    prefix += segments[i];
    if (!directoryExists(prefix) && !CreateDirectoryW(wstr(prefix), nullptr)) return false;
  }
  return true;
}

ustring SystemMessage(uint32_t code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  ustring text = n ? fromWide(buffer, n) : ustring();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
  return text;
}

ustring SysErrorMessage(uint32_t code) {
  ustring text = SystemMessage(code);
  while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.pop_back();
  return text;
}

ustring ExpandFileName(const ustring& path) {
  DWORD n = GetFullPathNameW(wstr(path), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring buffer(n, L'\0');
  n = GetFullPathNameW(wstr(path), n, buffer.data(), nullptr);
  return fromWide(buffer.c_str(), n);
}

}  // namespace velmora
