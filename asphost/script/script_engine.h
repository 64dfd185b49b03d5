// Runs one script text through the Windows Script engines (VBScript, JScript)
// with the page's objects as global named items, the way ASP runs a page.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <vector>

#include "base/ustring.h"

namespace asphost {

using velmora::ustring;

struct NamedObject {
  ustring name;
  IDispatch* object;  // borrowed for the length of the run
};

// Why a script stopped, as the engine reported it.
struct ScriptFailure {
  HRESULT code = S_OK;
  unsigned line = 0;  // 1-based line of the script text; 0 when unknown
  ustring source;     // "Microsoft VBScript runtime error", a component's ProgID, ...
  ustring description;
  // The run was cut off by a stack overflow or a processor fault: the
  // engine's frames were abandoned, not unwound, and the engine with them.
  bool abandoned = false;
};

// An object's method returns this to end the page early (Response.End): the
// run stops quietly, as if the script had reached its end.
constexpr HRESULT kEndOfPage = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0A5E);

// Runs code to its end on the calling thread, which must be in a
// single-threaded apartment. language is a script engine's ProgID ("VBScript",
// "JScript"). Returns false with *failure filled when the script failed to
// compile or stopped on an error. A script that overflows the thread's stack
// (runaway recursion; Wine's VBScript has no depth limit of its own) or
// faults inside the engine ends here as a failed run, "Out of stack space"
// or an unexpected error, with the thread whole.
bool RunScript(const ustring& language, const ustring& code, const std::vector<NamedObject>& objects,
               ScriptFailure* failure);

// Stops the script running on the calling thread at the next statement, for
// Response.End. Called from inside one of the script's own calls.
void EndScriptOnThisThread();

}  // namespace asphost
