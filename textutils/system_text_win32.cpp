// The system's text services on Windows: the ANSI code page, UTF-8 and the
// user's locale, all through the Win32 national-language calls.
#include <windows.h>

#include "textutils/system_text.h"

namespace velmora::systext {
namespace {

ustring decode(UINT codePage, DWORD flags, const uint8_t* bytes, size_t count, bool& ok) {
  ok = true;
  if (count == 0) return ustring();
  auto src = reinterpret_cast<LPCCH>(bytes);
  int n = MultiByteToWideChar(codePage, flags, src, static_cast<int>(count), nullptr, 0);
  if (n <= 0) {
    ok = false;
    return ustring();
  }
  ustring out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(codePage, flags, src, static_cast<int>(count),
                      reinterpret_cast<LPWSTR>(out.data()), n);
  return out;
}

std::string encode(UINT codePage, ustring_view text) {
  if (text.empty()) return std::string();
  auto src = reinterpret_cast<LPCWCH>(text.data());
  int n = WideCharToMultiByte(codePage, 0, src, static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(codePage, 0, src, static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

}  // namespace

unsigned ansiCodePage() { return GetACP(); }

ustring ansiToUnicode(const uint8_t* bytes, size_t count) {
  bool ok;
  return decode(CP_ACP, 0, bytes, count, ok);
}

std::string unicodeToAnsi(ustring_view text) { return encode(CP_ACP, text); }

bool utf8ToUnicode(const uint8_t* bytes, size_t count, ustring& out) {
  bool ok;
  ustring text = decode(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, count, ok);
  if (!ok) return false;
  out = std::move(text);
  return true;
}

std::string unicodeToUtf8(ustring_view text) { return encode(CP_UTF8, text); }

bool sameTextIgnoringCase(ustring_view a, ustring_view b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE,
                        reinterpret_cast<LPCWSTR>(a.data()), static_cast<int>(a.size()),
                        reinterpret_cast<LPCWSTR>(b.data()), static_cast<int>(b.size())) ==
         CSTR_EQUAL;
}

}  // namespace velmora::systext
