// Splitting paths at their last separator. Which characters separate depends
// on where a path comes from, so every call names its set.
#pragma once

#include <cstddef>

#include "base/ustring.h"

namespace velmora {

// A name a client sent: browsers on any system may send "\", "/" or ":".
inline constexpr char16_t kClientSeparators[] = u"\\/:";
// A path a script passes: "\" and the drive's ":" only ("/" stays part of a
// name: scripts write Windows paths).
inline constexpr char16_t kScriptSeparators[] = u"\\:";
// The folders of a path that is known to be a Windows path ending in "\".
inline constexpr char16_t kBackslash[] = u"\\";

// Where the last segment begins: just after the last separator, 0 when there
// is none.
size_t NameStart(ustring_view path, ustring_view separators);

// The last segment (the whole path when there is no separator).
ustring AfterLastSeparator(ustring_view path, ustring_view separators);

// Everything up to and including the last separator ("" when there is none).
ustring FolderOf(ustring_view path, ustring_view separators);

// Where the extension with its dot begins: the last "." of the last segment,
// unless it is the path's first character; path.size() when there is none.
size_t ExtensionStart(ustring_view path, ustring_view separators);

}  // namespace velmora
