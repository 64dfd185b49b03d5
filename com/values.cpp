#include "com/values.h"

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

}  // namespace com
