// For tests that overflow a thread's stack on purpose. Where 32-bit code runs
// under a user-mode CPU emulator (tools/with-qemu-i386 sets
// VELMORA_I386_EMULATED for the programs it runs), the emulator hands Wine no
// fault of the stack's guard page: the overflow kills the whole process
// instead of raising the exception that is contained. Such cases are proven
// on hardware only; other faults still arrive (an access violation as an
// illegal instruction) and are tested everywhere.
#pragma once

#include <windows.h>

namespace velmora::testing {

inline bool StackOverflowKillsTheProcess() {
  if (sizeof(void*) != 4) return false;
  wchar_t value[2] = {};
  return GetEnvironmentVariableW(L"VELMORA_I386_EMULATED", value, 2) == 1 && value[0] == L'1';
}

inline constexpr const char* kStackOverflowEmulated =
    "32-bit code runs under a CPU emulator here, which gives Wine no stack overflow "
    "exception (the overflow kills the process): proven on hardware only";

}  // namespace velmora::testing
