// Small helpers for the automation values that cross the intrinsics' members.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "com/values.h"

namespace asphost {

// An owned VARIANT, cleared on destruction.
using Variant = com::Variant;

// The variant a by-reference variant (VT_BYREF | VT_VARIANT, at any depth)
// stands for: scripts pass their variables that way.
const VARIANT* Unwrap(const VARIANT* v);

// The value of an integer variant (VT_I1 to VT_UI8, VT_INT, VT_UINT, directly
// or by reference). False for every other type, including floating point.
bool IntegerValue(const VARIANT& v, int64_t* out);

// Writes value into an integer variant of the same type (through its
// reference when it is VT_BYREF). value must fit that type.
void SetIntegerValue(VARIANT* v, int64_t value);

// Read access to the bytes of a one-dimensional VT_UI1 safe array held by a
// variant (directly, by reference, or inside a by-reference variant); any
// other variant gives an invalid view.
class ByteArrayView : public com::ArrayBytes {
 public:
  explicit ByteArrayView(const VARIANT& v);
};

// A variant holding a new one-dimensional VT_UI1 safe array with a copy of
// the bytes, indexed from lowerBound.
HRESULT MakeByteArray(const uint8_t* data, size_t size, LONG lowerBound, VARIANT* out);

// The text of a variant as ASP writes it: VT_EMPTY and VT_NULL give nothing,
// objects their default value. Fails with the conversion's HRESULT.
HRESULT VariantText(const VARIANT& v, std::wstring* out);

// UTF-16 to UTF-8 and back (invalid sequences become U+FFFD).
std::string Utf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

// Names (keys, item names) compare ignoring case, as ASP compares them.
bool SameName(const std::wstring& a, const std::wstring& b);

}  // namespace asphost
