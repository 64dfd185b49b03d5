// Small helpers for the automation values that cross the intrinsics' members.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace asphost {

// An owned VARIANT, cleared on destruction.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }
  const VARIANT* operator->() const { return &v_; }

 private:
  VARIANT v_;
};

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
// variant (directly, by reference, or inside a by-reference variant).
class ByteArrayView {
 public:
  explicit ByteArrayView(const VARIANT& v);
  ~ByteArrayView();
  ByteArrayView(const ByteArrayView&) = delete;
  ByteArrayView& operator=(const ByteArrayView&) = delete;

  bool valid() const { return array_ != nullptr; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  LONG lowerBound() const { return lower_; }

 private:
  SAFEARRAY* array_ = nullptr;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  LONG lower_ = 0;
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
