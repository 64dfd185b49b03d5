// The native build's stand-ins for the system's text services: Windows-1252
// as the ANSI code page, a strict UTF-8 codec, and a case fold for the
// alphabets the tests use (Latin, Greek, Cyrillic).
#include "base/system_text.h"

namespace velmora::systext {
namespace {

// 0x80 to 0x9F of Windows-1252; the five unassigned bytes map to the C1
// controls of the same value, as Windows itself does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t fold(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149)
    return (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)
               ? static_cast<char16_t>((c & 1) ? c : c - 1)
               : static_cast<char16_t>(c & ~1u);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  return c;
}

}  // namespace

unsigned ansiCodePage() { return 1252; }

ustring ansiToUnicode(const uint8_t* bytes, size_t count) {
  ustring out(count, u'\0');
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    out[i] = (b >= 0x80 && b <= 0x9F) ? kCp1252High[b - 0x80] : b;
  }
  return out;
}

std::string unicodeToAnsi(ustring_view text) {
  std::string out(text.size(), '?');
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out[i] = static_cast<char>(c);
      continue;
    }
    for (int k = 0; k < 32; ++k)
      if (kCp1252High[k] == c) out[i] = static_cast<char>(0x80 + k);
  }
  return out;
}

bool utf8ToUnicode(const uint8_t* s, size_t n, ustring& out) {
  ustring result;
  result.reserve(n);
  size_t i = 0;
  while (i < n) {
    uint32_t c = s[i];
    if (c < 0x80) {
      result.push_back(static_cast<char16_t>(c));
      ++i;
      continue;
    }
    size_t len;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) { len = 2; min = 0x80; c &= 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; min = 0x800; c &= 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; min = 0x10000; c &= 0x07; }
    else return false;
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(c));
    }
    i += len;
  }
  out = std::move(result);
  return true;
}

std::string unicodeToUtf8(ustring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool sameTextIgnoringCase(ustring_view a, ustring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

// The folded text itself, two bytes a character.
std::string caseInsensitiveKey(ustring_view text) {
  std::string key(2 * text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = fold(text[i]);
    key[2 * i] = static_cast<char>(c & 0xFF);
    key[2 * i + 1] = static_cast<char>(c >> 8);
  }
  return key;
}

}  // namespace velmora::systext
