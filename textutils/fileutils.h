// File and path helpers on the Win32 file calls.
#pragma once

#include <cstdint>

#include "textutils/ustring.h"

namespace velmora {

// True when path names an existing file that is not a directory.
bool IsExistingFile(const ustring& path);

// Creates every missing level of path below its first segment; true when all
// of them exist at the end. "/" and "\" both separate.
bool ForceDirectoryPath(const ustring& path);

// The system's message text for a Win32 error code.
ustring SysErrorMessage(uint32_t code);

// path made absolute against the current directory.
ustring ExpandFileName(const ustring& path);

}  // namespace velmora
