// The conversions at the automation boundary (BSTR, VARIANT_BOOL, byte
// arrays), and the conversion of a failed call on a host object into an
// exception.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <cstdint>
#include <new>

#include "base/errors.h"
#include "base/ustring.h"
#include "com/values.h"
#include "io/stream.h"

namespace velmora {

// The automation boundary's conversions.
ustring FromBStr(BSTR s);  // null reads as empty
BSTR AllocBStr(const ustring& s);  // raises std::bad_alloc
inline VARIANT_BOOL ToVariantBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }
inline bool FromVariantBool(VARIANT_BOOL b) { return b != 0; }
// A variant holding a one-dimensional safe array with lower bound 1 and the
// bytes as elements (bounds 1 and 0 when empty).
void ToByteArray(ByteSpan bytes, VARIANT* out);
// The same from a chunked stream's bytes, copied straight into the array.
void ToByteArray(const TChunkedMemoryStream& bytes, VARIANT* out);

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

}  // namespace velmora
