// The Windows edge of the UTF-16 string: the system's wide strings hold the
// same 16-bit units, so a ustring passes to and from the W functions as it is.
#pragma once

#include <cstddef>

#include "base/ustring.h"

namespace velmora {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the system's wide strings are UTF-16");

inline const wchar_t* wstr(const ustring& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline ustring fromWide(const wchar_t* s) {
  return s ? ustring(reinterpret_cast<const char16_t*>(s)) : ustring();
}
inline ustring fromWide(const wchar_t* s, size_t n) {
  return ustring(reinterpret_cast<const char16_t*>(s), n);
}

}  // namespace velmora
