// Containment of processor faults inside an interface member. mingw has no
// __try, and its C++ exceptions on i686 are DWARF-2, not SEH, so a fault
// never reaches a catch clause. RunGuarded does what Wine's own __TRY does
// without compiler support: an SEH frame of its own on the thread's chain,
// whose handler unwinds the frames above it (their handlers run) and resumes
// at a jump buffer taken before the body started.
#pragma once

#include <windows.h>

namespace velmora {

// Runs body(context). Returns true when it returned normally; false when a
// processor fault or another system exception stopped it, with the exception
// code in *code. The body must let no C++ exception escape. C++ objects of the
// interrupted frames are not destroyed: what they held is lost, which is the
// price of keeping the host process alive.
bool RunGuarded(void (*body)(void*), void* context, DWORD* code);

}  // namespace velmora
