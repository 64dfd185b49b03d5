// Error information for the caller of a failing member, set at the
// interface boundary.
#pragma once

#include <windows.h>
#include <ole2.h>

namespace com {

// Sets the thread's error information: the failing interface, the source
// (a ProgID or an object's name) and the description, each left out when
// null or empty, and a help context when not 0. False when none could be made.
bool SetErrorInfoFor(REFIID iid, const wchar_t* source, const wchar_t* description,
                     DWORD helpContext = 0);

}  // namespace com
