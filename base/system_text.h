// The system's text services behind one seam: on Windows the code-page and
// locale calls (GetACP, MultiByteToWideChar, WideCharToMultiByte,
// CompareStringW); in the native build a built-in Windows-1252 table, a strict
// UTF-8 codec and a portable case fold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/ustring.h"

namespace velmora::systext {

// The system ANSI code page (1252 in the native build).
unsigned ansiCodePage();

// Decoding in the ANSI code page never fails.
ustring ansiToUnicode(const uint8_t* bytes, size_t count);
// Characters the code page cannot represent become its default character.
std::string unicodeToAnsi(ustring_view text);

// Strict UTF-8: false (and out untouched) when any sequence is invalid or
// incomplete.
bool utf8ToUnicode(const uint8_t* bytes, size_t count, ustring& out);
// A lone surrogate becomes U+FFFD.
std::string unicodeToUtf8(ustring_view text);

// Equal ignoring case by the system (user default) locale.
bool sameTextIgnoringCase(ustring_view a, ustring_view b);

// A key for finding texts by that comparison without comparing with each:
// texts that sameTextIgnoringCase finds equal always have the same key, so
// a lookup need only confirm the texts of its own key. (On Windows the
// locale's sort key, which also makes ß and "ss", or a text and the same
// with ignorable characters added, equal.)
std::string caseInsensitiveKey(ustring_view text);

}  // namespace velmora::systext
