// The system's text services on Windows: the ANSI code page, UTF-8 and the
// user's locale, all through the Win32 national-language calls.
#include <windows.h>

#include "base/system_text.h"

namespace velmora::systext {
namespace {

// How the user's locale compares names: case is ignored, nothing else.
constexpr DWORD kIgnoreCase = NORM_IGNORECASE;

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
  return CompareStringW(LOCALE_USER_DEFAULT, kIgnoreCase, reinterpret_cast<LPCWSTR>(a.data()),
                        static_cast<int>(a.size()), reinterpret_cast<LPCWSTR>(b.data()),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The sort key under the comparison's own locale and flags: the system
// promises that comparing sort keys gives the comparison's result, so equal
// texts have equal keys (and keys are no coarser than that, which keeps the
// texts a lookup confirms few). An empty text cannot be given by length; it
// is given as an empty terminated string, and gets the key of texts made only
// of ignorable characters, which compare equal to it.
std::string caseInsensitiveKey(ustring_view text) {
  static const wchar_t kEmpty[] = L"";
  const LPCWSTR source = text.empty() ? kEmpty : reinterpret_cast<LPCWSTR>(text.data());
  const int length = text.empty() ? -1 : static_cast<int>(text.size());
  // Most keys fit this guess; a longer one is measured first.
  std::string key(4 * text.size() + 16, '\0');
  int n = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | kIgnoreCase, source, length,
                       reinterpret_cast<LPWSTR>(key.data()), static_cast<int>(key.size()));
  if (n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    key.resize(static_cast<size_t>(
        LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | kIgnoreCase, source, length, nullptr, 0)));
    n = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | kIgnoreCase, source, length,
                     reinterpret_cast<LPWSTR>(key.data()), static_cast<int>(key.size()));
  }
  // (The call fails only on arguments it is never given here.)
  key.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return key;
}

}  // namespace velmora::systext
