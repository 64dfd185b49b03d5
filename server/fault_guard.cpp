#include "server/fault_guard.h"

#include <malloc.h>
#include <setjmp.h>

namespace velmora {
namespace {

// Exceptions a debugger uses to talk to the program pass on untouched; every
// other one stops the guarded body.
bool IsContained(DWORD code) {
  const DWORD severity = code >> 30;
  return severity != 1 /* informational */ && code != EXCEPTION_BREAKPOINT &&
         code != EXCEPTION_SINGLE_STEP;
}

bool IsDispatchToContain(const EXCEPTION_RECORD* record) {
  return (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0 &&
         IsContained(record->ExceptionCode);
}

// The overflow used up the stack's guard page; without a new one the next
// overflow would end the process.
void AfterFault(DWORD code) {
  if (code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
}

}  // namespace
}  // namespace velmora

#if defined(__i386__)

namespace velmora {
namespace {

struct TGuardFrame {
  EXCEPTION_REGISTRATION_RECORD record;  // first: the handler gets its address
  jmp_buf resume;
  volatile DWORD code;
};

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                           void*) {
  if (!IsDispatchToContain(record)) return ExceptionContinueSearch;
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
    AfterFault(guard.code);
  }
  tib->ExceptionList = guard.record.Next;
  return completed;
}

}  // namespace velmora

#elif defined(__x86_64__)

// velmora_GuardedCall(body, context) calls body(context) and returns 0. Its
// unwind information names velmora_GuardHandler as its exception handler, so
// the system consults it for any exception raised below it. The handler
// unwinds to velmora_GuardResume, in the caller's frame, with the exception
// code as the return value: as __C_specific_handler does for __except.
extern "C" {
DWORD velmora_GuardedCall(void (*body)(void*), void* context);
extern char velmora_GuardResume[];
EXCEPTION_DISPOSITION velmora_GuardHandler(EXCEPTION_RECORD*, void*, CONTEXT*,
                                           DISPATCHER_CONTEXT*);
}

asm(R"(
    .text
    .p2align 4
    .globl velmora_GuardedCall
    .def velmora_GuardedCall; .scl 2; .type 32; .endef
    .seh_proc velmora_GuardedCall
velmora_GuardedCall:
    subq $40, %rsp                 # the callee's home space, and alignment
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler velmora_GuardHandler, @except
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    xorl %eax, %eax
    .globl velmora_GuardResume
velmora_GuardResume:
    addq $40, %rsp
    ret
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION velmora_GuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                      CONTEXT* context,
                                                      DISPATCHER_CONTEXT* dispatch) {
  if (!velmora::IsDispatchToContain(record)) return ExceptionContinueSearch;
  // Runs the handlers of the frames in between for their unwind and does not
  // return: the guarded call's frame resumes with the code in RAX.
  RtlUnwindEx(frame, velmora_GuardResume, record,
              reinterpret_cast<void*>(static_cast<ULONG_PTR>(record->ExceptionCode)), context,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

namespace velmora {

bool RunGuarded(void (*body)(void*), void* context, DWORD* code) {
  const DWORD stopped = velmora_GuardedCall(body, context);
  if (stopped == 0) return true;  // no exception code is 0
  *code = stopped;
  AfterFault(stopped);
  return false;
}

}  // namespace velmora

#else
#error "fault containment is written for i686 and x86-64"
#endif
