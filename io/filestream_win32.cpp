#include <windows.h>

#include "base/wide.h"
#include "io/filestream.h"
#include "io/fileutils.h"

namespace velmora {

TFileStream::TFileStream(const ustring& path, Mode mode) : path_(path) {
  if (mode != Mode::OpenRead) {
    handle_ = CreateFileW(wstr(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          mode == Mode::CreateNew ? CREATE_NEW : CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      throw EFCreateError(ExpandFileName(path), SysErrorMessage(error), error);
    }
  } else {
    handle_ = CreateFileW(wstr(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      throw EFOpenError(ExpandFileName(path), SysErrorMessage(error), error);
    }
  }
}

TFileStream::~TFileStream() { CloseHandle(handle_); }

int64_t TFileStream::size() const {
  LARGE_INTEGER size;
  return GetFileSizeEx(handle_, &size) ? size.QuadPart : 0;
}

int64_t TFileStream::position() const {
  LARGE_INTEGER zero{}, pos{};
  return SetFilePointerEx(handle_, zero, &pos, FILE_CURRENT) ? pos.QuadPart : 0;
}

void TFileStream::seek(int64_t position) {
  LARGE_INTEGER pos;
  pos.QuadPart = position;
  SetFilePointerEx(handle_, pos, nullptr, FILE_BEGIN);
}

size_t TFileStream::read(void* buffer, size_t count) {
  size_t total = 0;
  auto* p = static_cast<char*>(buffer);
  while (total < count) {
    DWORD chunk = count - total > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count - total);
    DWORD got = 0;
    if (!ReadFile(handle_, p + total, chunk, &got, nullptr) || got == 0) break;
    total += got;
  }
  return total;
}

void TFileStream::write(const void* buffer, size_t count) {
  auto* p = static_cast<const char*>(buffer);
  while (count > 0) {
    DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD written = 0;
    // A full disk may first take part of the chunk; writing the rest then
    // fails with the system's reason.
    if (!WriteFile(handle_, p, chunk, &written, nullptr)) {
      const DWORD error = GetLastError();
      throw EWriteError(error, SysErrorMessage(error));
    }
    if (written == 0) throw EWriteError();
    p += written;
    count -= written;
  }
}

}  // namespace velmora
