// RunGuarded: processor faults and stack overflows contained inside a call,
// for the component's interface members and for hosts that run code they do
// not trust (the ASP host's script engines). A static library of its own, so
// that each module that links it has its own handler and slot.
#pragma once

#include <windows.h>

namespace velmora {

// Containment of processor faults inside an interface member. mingw has no
// __try, and GCC's C++ catch clauses never see a processor fault, on i686
// (DWARF-2 exceptions) as on x86-64 (SEH exceptions, but foreign ones pass
// by catch (...)). RunGuarded does what the compiler's __try/__except would:
//   i686:   an SEH frame of its own on the thread's chain of frames;
//   x86-64: a function whose unwind table names our handler (the stack holds
//           no chain there: the system finds handlers through the tables).
// Either handler unwinds the frames above its own (their handlers run) and
// resumes where the body was called. On x86-64 a stack overflow is taken by a
// vectored handler instead, as too little stack is left to search the tables.
//
// Runs body(context). Returns true when it returned normally; false when a
// processor fault or another system exception stopped it, with the exception
// code in *code. The body must let no C++ exception escape. C++ objects of the
// interrupted frames are not destroyed: what they held is lost, which is the
// price of keeping the host process alive.
bool RunGuarded(void (*body)(void*), void* context, DWORD* code);

}  // namespace velmora
