#include "server/fault_guard.h"

#include <malloc.h>
#include <setjmp.h>

namespace velmora {
namespace {

struct TGuardFrame {
  EXCEPTION_REGISTRATION_RECORD record;  // first: the handler gets its address
  jmp_buf resume;
  volatile DWORD code;
};

// Exceptions a debugger uses to talk to the program pass on untouched; every
// other one stops the guarded body.
bool IsContained(DWORD code) {
  const DWORD severity = code >> 30;
  return severity != 1 /* informational */ && code != EXCEPTION_BREAKPOINT &&
         code != EXCEPTION_SINGLE_STEP;
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                           void*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !IsContained(record->ExceptionCode)) {
    return ExceptionContinueSearch;
  }
  auto* guard = static_cast<TGuardFrame*>(frame);
  guard->code = record->ExceptionCode;
  // Frames above ours (the dispatcher's, and any the body's callees set up)
  // are unwound as for __except; ours becomes the top of the chain, which is
  // what the jump buffer recorded.
  RtlUnwind(frame, nullptr, record, nullptr);
  longjmp(guard->resume, 1);
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context, DWORD* code) {
  TGuardFrame guard;
  NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
  guard.record.Next = tib->ExceptionList;
  guard.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(GuardHandler);
  tib->ExceptionList = &guard.record;

  bool completed;
  if (setjmp(guard.resume) == 0) {
    body(context);
    completed = true;
  } else {
    completed = false;
    *code = guard.code;
    // The overflow used up the stack's guard page; without a new one the next
    // overflow would end the process.
    if (guard.code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
  }
  tib->ExceptionList = guard.record.Next;
  return completed;
}

}  // namespace velmora
