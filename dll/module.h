// What the parts of velmora32.dll share: the served classes and their
// creators, the module's counts, the conversions at the automation boundary,
// the conversion of exceptions at the member boundary, the containment of
// processor faults, and the test hooks.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdint>
#include <new>

#include "base/errors.h"
#include "base/ustring.h"
#include "com/values.h"
#include "dll/fault_guard.h"
#include "io/stream.h"

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

// The creators of the two coclasses, for the module's class table.
IUnknown* CreateProcessObject(const TComClass& cls, IUnknown* outer);
IUnknown* CreateHTTPObject(const TComClass& cls, IUnknown* outer);

// Live objects plus outstanding LockServer locks; interlocked.
void ServerObjectCountUp();
void ServerObjectCountDown();

// The member boundary's conversion of an exception (the object's
// SafeCallException): the HRESULT, and the thread's error information with
// the interface's IID, the ProgID as source and the message as description.
HRESULT SafeCallException(const TComClass& cls, const Exception& e);

// The automation boundary's conversions.
ustring FromBStr(BSTR s);          // null reads as empty
BSTR AllocBStr(const ustring& s);  // raises std::bad_alloc
inline VARIANT_BOOL ToVariantBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }
inline bool FromVariantBool(VARIANT_BOOL b) { return b != 0; }
// A variant holding a one-dimensional safe array with lower bound 1 and the
// bytes as elements (bounds 1 and 0 when empty).
void ToByteArray(ByteSpan bytes, VARIANT* out);
// The same from a chunked stream's bytes, copied straight into the array.
void ToByteArray(const TChunkedMemoryStream& bytes, VARIANT* out);

// "Invalid argument": a variant that holds no usable array.
class EVariantInvalidArgError : public Exception {
 public:
  EVariantInvalidArgError();
};

// The bytes of a variant that holds a one-dimensional array of one-byte
// elements, directly or by reference; any other variant raises
// EVariantInvalidArgError. The array stays locked while this lives.
class TArrayBytes {
 public:
  explicit TArrayBytes(const VARIANT& v);
  TArrayBytes(const TArrayBytes&) = delete;
  TArrayBytes& operator=(const TArrayBytes&) = delete;
  ByteSpan bytes() const { return bytes_; }

 private:
  com::ArrayBytes array_;
  ByteSpan bytes_;
};

// A failed outgoing call on an automation interface of the host becomes an
// EHostCallError with the host's HRESULT and description.
void OleCheck(HRESULT hr);


// Test hooks, compiled only into velmora32-testhooks.dll (never shipped):
// with a magic argument, Process.Delete and HTTP.AddFormVar fail on purpose
// inside the member, so tests can see what the boundary makes of a processor
// fault and of errors no real member raises on demand.
#ifdef VELMORA_TEST_HOOKS
inline void TestHook(const ustring& argument) {
  if (argument == u"velmora:fault") {
    *static_cast<volatile int*>(nullptr) = 1;
  } else if (argument == u"velmora:stack-overflow") {
    // Recursion the optimizer cannot fold away, far deeper than any stack.
    struct Deep {
      static int Go(volatile char* previous, unsigned depth) {
        volatile char page[4096];
        page[0] = previous ? previous[0] : 1;
        return depth == 0 ? page[0] : Go(page, depth - 1) + page[1];
      }
    };
    Deep::Go(nullptr, 1u << 30);
  } else if (argument == u"velmora:empty-message") {
    throw Exception(u"");
  } else if (argument == u"velmora:ole-error") {
    throw ESystemError(u"Access is denied.", static_cast<HRESULT_t>(0x80070005), 42);
  }
}
#else
inline void TestHook(const ustring&) {}
#endif

}  // namespace velmora
