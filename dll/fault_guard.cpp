#include "dll/fault_guard.h"

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

// velmora_GuardedCall(body, context, frame) saves the caller's non-volatile
// registers, stores its own stack pointer in *frame, calls body(context) and
// returns 0. Its unwind information names velmora_GuardHandler as its
// exception handler, so the system consults that handler for any exception
// raised below it. Resuming at velmora_GuardResume with the guard's stack
// pointer and an exception code in RAX makes the guarded call return that
// code, its epilogue restoring the caller's registers.
extern "C" {
DWORD velmora_GuardedCall(void (*body)(void*), void* context, void** frame);
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
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rdi
    .seh_pushreg %rdi
    pushq %rsi
    .seh_pushreg %rsi
    pushq %r12
    .seh_pushreg %r12
    pushq %r13
    .seh_pushreg %r13
    pushq %r14
    .seh_pushreg %r14
    pushq %r15
    .seh_pushreg %r15
    subq $216, %rsp                # home space, xmm6-xmm15, alignment
    .seh_stackalloc 216
    movaps %xmm6, 48(%rsp)
    .seh_savexmm %xmm6, 48
    movaps %xmm7, 64(%rsp)
    .seh_savexmm %xmm7, 64
    movaps %xmm8, 80(%rsp)
    .seh_savexmm %xmm8, 80
    movaps %xmm9, 96(%rsp)
    .seh_savexmm %xmm9, 96
    movaps %xmm10, 112(%rsp)
    .seh_savexmm %xmm10, 112
    movaps %xmm11, 128(%rsp)
    .seh_savexmm %xmm11, 128
    movaps %xmm12, 144(%rsp)
    .seh_savexmm %xmm12, 144
    movaps %xmm13, 160(%rsp)
    .seh_savexmm %xmm13, 160
    movaps %xmm14, 176(%rsp)
    .seh_savexmm %xmm14, 176
    movaps %xmm15, 192(%rsp)
    .seh_savexmm %xmm15, 192
    .seh_endprologue
    .seh_handler velmora_GuardHandler, @except
    movq %rsp, (%r8)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    xorl %eax, %eax
    .globl velmora_GuardResume
velmora_GuardResume:
    movaps 48(%rsp), %xmm6
    movaps 64(%rsp), %xmm7
    movaps 80(%rsp), %xmm8
    movaps 96(%rsp), %xmm9
    movaps 112(%rsp), %xmm10
    movaps 128(%rsp), %xmm11
    movaps 144(%rsp), %xmm12
    movaps 160(%rsp), %xmm13
    movaps 176(%rsp), %xmm14
    movaps 192(%rsp), %xmm15
    addq $216, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rsi
    popq %rdi
    popq %rbx
    popq %rbp
    ret
    .seh_endproc
)");

// Any contained exception: the frames in between are unwound (their
// handlers run) and the guarded call returns the code, as __except does.
extern "C" EXCEPTION_DISPOSITION velmora_GuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                      CONTEXT* context,
                                                      DISPATCHER_CONTEXT* dispatch) {
  if (!velmora::IsDispatchToContain(record)) return ExceptionContinueSearch;
  RtlUnwindEx(frame, velmora_GuardResume, record,
              reinterpret_cast<void*>(static_cast<ULONG_PTR>(record->ExceptionCode)), context,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

namespace velmora {
namespace {

// A stack overflow leaves the system too little stack to search the frames'
// unwind tables (Wine then ends the process before any handler runs), but
// enough for the vectored handlers it calls first. So a vectored handler
// resumes the thread's innermost guarded call directly, at the stack pointer
// the guard recorded; the frames in between are abandoned without unwinding.
struct TGuardRecord {
  void* frame;  // the guarded call's stack pointer
  TGuardRecord* outer;
};

DWORD gGuardSlot = TLS_OUT_OF_INDEXES;  // the thread's innermost TGuardRecord

TGuardRecord* InnermostGuard() {
  return gGuardSlot == TLS_OUT_OF_INDEXES ? nullptr
                                          : static_cast<TGuardRecord*>(TlsGetValue(gGuardSlot));
}

// Sees every exception of the process first: anything but an overflow passes
// on untouched (its last-error value too, which TlsGetValue would reset).
LONG CALLBACK ResumeGuardOnOverflow(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  TGuardRecord* guard = InnermostGuard();
  if (!guard) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* context = pointers->ContextRecord;
  context->Rsp = reinterpret_cast<DWORD64>(guard->frame);
  context->Rip = reinterpret_cast<DWORD64>(velmora_GuardResume);
  context->Rax = EXCEPTION_STACK_OVERFLOW;
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The slot and the handler live as long as the module: made when it is
// loaded, removed when it is unloaded.
struct TOverflowHandler {
  TOverflowHandler() {
    gGuardSlot = TlsAlloc();
    handler = AddVectoredExceptionHandler(TRUE, ResumeGuardOnOverflow);
  }
  ~TOverflowHandler() {
    if (handler) RemoveVectoredExceptionHandler(handler);
    if (gGuardSlot != TLS_OUT_OF_INDEXES) TlsFree(gGuardSlot);
    gGuardSlot = TLS_OUT_OF_INDEXES;
  }
  TOverflowHandler(const TOverflowHandler&) = delete;
  TOverflowHandler& operator=(const TOverflowHandler&) = delete;
  void* handler = nullptr;
} gOverflowHandler;

}  // namespace

bool RunGuarded(void (*body)(void*), void* context, DWORD* code) {
  TGuardRecord guard{nullptr, InnermostGuard()};
  if (gGuardSlot != TLS_OUT_OF_INDEXES) TlsSetValue(gGuardSlot, &guard);
  const DWORD stopped = velmora_GuardedCall(body, context, &guard.frame);
  if (gGuardSlot != TLS_OUT_OF_INDEXES) TlsSetValue(gGuardSlot, guard.outer);
  if (stopped == 0) return true;  // no exception code is 0
  *code = stopped;
  AfterFault(stopped);
  return false;
}

}  // namespace velmora

#else
#error "fault containment is written for i686 and x86-64"
#endif
