// File and path helpers on the Win32 file calls.
#pragma once

#include <cstdint>

#include "base/ustring.h"

namespace velmora {

// True when path names an existing file that is not a directory.
bool IsExistingFile(const ustring& path);

// Creates every missing level of path below its first segment; true when all
// of them exist at the end. "/" and "\" both separate.
bool ForceDirectoryPath(const ustring& path);

// The system's message text for a Win32 error code or an HRESULT, without the
// line break that closes it ("" when the system has none).
ustring SystemMessage(uint32_t code);

// The same without trailing blanks and full stop, for quoting in a sentence.
ustring SysErrorMessage(uint32_t code);

// path made absolute against the current directory.
ustring ExpandFileName(const ustring& path);

}  // namespace velmora
