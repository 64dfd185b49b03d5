// What the parts of velmora32.dll share: the served classes, the module's
// counts, and the conversion of exceptions at the member boundary.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include "base/errors.h"
#include "base/ustring.h"
#include "dll/convert.h"
#include "dll/velmora32_idl.h"

namespace velmora {

struct TComClass;

// Makes one object of a class, aggregated under outer when given; returns its
// own (inner) IUnknown with one reference. Raises when construction fails.
using TObjectCreator = IUnknown* (*)(const TComClass& cls, IUnknown* outer);

// One coclass as the module serves it. The names and the type information come
// from the type library when the server starts.
struct TComClass {
  const CLSID* clsid;
  const IID* iid;            // the default dual interface: also the error GUID
  const char16_t* codeName;  // for the start-up messages, before the type library speaks
  TObjectCreator create;
  ustring className;         // "Process"
  ustring description;       // "Process Object"
  ustring progId;            // "Velmora32.Process"
  ITypeInfo* classInfo = nullptr;  // the coclass
  ITypeInfo* dualInfo = nullptr;   // its dual interface (TKIND_INTERFACE)
};

// Live objects plus outstanding LockServer locks; interlocked.
void ServerObjectCountUp();
void ServerObjectCountDown();

// The member boundary's conversion of an exception (the object's
// SafeCallException): the HRESULT, and the thread's error information with
// the interface's IID, the ProgID as source and the message as description.
HRESULT SafeCallException(const TComClass& cls, const Exception& e);

}  // namespace velmora
