#include "com/values.h"

#include <functional>

namespace com {

ArrayBytes::ArrayBytes(SAFEARRAY* array) {
  if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) return;
  LONG lower = 0, upper = -1;
  void* data = nullptr;
  if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)) ||
      FAILED(SafeArrayAccessData(array, &data))) {
    return;
  }
  array_ = array;
  data_ = static_cast<const uint8_t*>(data);
  lower_ = lower;
  const int64_t count = static_cast<int64_t>(upper) - lower + 1;
  size_ = count > 0 ? static_cast<size_t>(count) : 0;
}

ArrayBytes::~ArrayBytes() {
  if (array_) SafeArrayUnaccessData(array_);
}

const SAFEARRAY* HighestArray::kept() const {
  const VARIANT& kept = *kept_;
  return V_VT(&kept) == VT_EMPTY ? nullptr : V_ARRAY(&kept);
}

void HighestArray::offer(VARIANT* v) {
  if (V_VT(v) != (VT_ARRAY | VT_UI1) || !V_ARRAY(v)) return;
  const SAFEARRAY* current = kept();
  if (current && !std::less<const void*>()(current->pvData, V_ARRAY(v)->pvData)) return;
  VariantClear(kept_.get());
  *kept_ = *v;
  V_VT(v) = VT_EMPTY;
}

}  // namespace com
