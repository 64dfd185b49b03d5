// Owned automation values and byte arrays (one-dimensional safe arrays of
// VT_UI1), the plumbing under both the component's and the host's
// conversions. Which variants count as bytes is each side's own rule.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

namespace com {

// An owned BSTR, freed on destruction.
class Bstr {
 public:
  explicit Bstr(BSTR owned = nullptr) : b_(owned) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  BSTR* out() { return &b_; }  // for an out-parameter; must be empty
  UINT length() const { return SysStringLen(b_); }

 private:
  BSTR b_;
};

// An owned VARIANT, cleared on destruction.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &v_; }
  VARIANT& operator*() { return v_; }
  const VARIANT& operator*() const { return v_; }
  VARIANT* operator->() { return &v_; }
  const VARIANT* operator->() const { return &v_; }

 private:
  VARIANT v_;
};

// Puts into *out a new byte array of size elements indexed from lowerBound,
// its bytes written by fill(void* data) (not called when size is 0).
// E_OUTOFMEMORY when it cannot be made, including a size past a LONG bound.
template <class Fill>
HRESULT NewByteArray(size_t size, LONG lowerBound, VARIANT* out, Fill&& fill) {
  // A script's array counts its elements up to a LONG bound; 64-bit memory
  // can hold more, which a narrowed count would cut short.
  if (size > static_cast<size_t>(MAXLONG)) return E_OUTOFMEMORY;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, lowerBound, static_cast<ULONG>(size));
  if (!array) return E_OUTOFMEMORY;
  if (size > 0) {
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    fill(data);
    SafeArrayUnaccessData(array);
  }
  V_VT(out) = VT_ARRAY | VT_UI1;
  V_ARRAY(out) = array;
  return S_OK;
}

// The elements of a one-dimensional array of one-byte elements, locked
// while this lives. valid() is false for a null array, another number of
// dimensions, wider elements, or an array that cannot be locked.
class ArrayBytes {
 public:
  explicit ArrayBytes(SAFEARRAY* array);
  ~ArrayBytes();
  ArrayBytes(const ArrayBytes&) = delete;
  ArrayBytes& operator=(const ArrayBytes&) = delete;

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

// Keeps, of the byte arrays offered to it, the one that lies highest in
// memory. Wine's heap gives back the memory past a freed block that ends its
// region, and the next block of that size takes it again in fresh pages: for
// an upload read 100 KB at a time, two system calls and up to nine page
// faults per block. With the highest array kept, every later block is freed
// below a block in use, and the next one reuses its memory still committed.
class HighestArray {
 public:
  HighestArray() = default;
  HighestArray(const HighestArray&) = delete;
  HighestArray& operator=(const HighestArray&) = delete;

  // Takes the array out of *v, which is left empty, when it lies above the
  // one kept (which is then freed); leaves *v alone otherwise, and when it
  // holds no byte array.
  void offer(VARIANT* v);
  // The array kept, or null.
  const SAFEARRAY* kept() const;

 private:
  Variant kept_;
};

}  // namespace com
