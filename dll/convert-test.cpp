// The byte arrays the objects hand to scripts (FileData, DownloadData): bounds
// 1 to the count, and never a count narrowed to what the array can hold.
#include "dll/module.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace velmora {
namespace {

TEST(ByteArray, CountsFromOne) {
  const uint8_t bytes[] = {0x00, 0xFF, 0x41};
  for (size_t count : {size_t{0}, size_t{1}, size_t{3}}) {
    SCOPED_TRACE(count);
    VARIANT v;
    VariantInit(&v);
    ToByteArray({bytes, count}, &v);
    ASSERT_EQ(VT_ARRAY | VT_UI1, V_VT(&v));
    SAFEARRAY* array = V_ARRAY(&v);
    EXPECT_EQ(1u, SafeArrayGetDim(array));
    LONG lower = -1, upper = -1;
    EXPECT_EQ(S_OK, SafeArrayGetLBound(array, 1, &lower));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(array, 1, &upper));
    EXPECT_EQ(1, lower);
    EXPECT_EQ(static_cast<LONG>(count), upper);
    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(array, &data));
    EXPECT_EQ(0, std::memcmp(data, bytes, count));
    SafeArrayUnaccessData(array);
    VariantClear(&v);
  }
}

// More bytes than a LONG upper bound counts are refused before any is read:
// a 64-bit body can be that large, and a narrowed count would hand the script
// a piece of it (or read past what was allocated).
TEST(ByteArray, RefusesMoreBytesThanAnArrayCounts) {
  std::vector<size_t> counts = {size_t{LONG_MAX} + 1, SIZE_MAX};
  if (sizeof(size_t) > sizeof(ULONG)) {
    counts.push_back(static_cast<size_t>(ULONG_MAX) + 4);  // narrows to 3
  }
  const uint8_t* nowhere = reinterpret_cast<const uint8_t*>(alignof(std::max_align_t));
  for (size_t count : counts) {
    SCOPED_TRACE(count);
    VARIANT v;
    VariantInit(&v);
    EXPECT_THROW(ToByteArray({nowhere, count}, &v), std::bad_alloc);
    EXPECT_EQ(VT_EMPTY, V_VT(&v));
  }
}

// A variant without an array of bytes is refused with the script's message.
TEST(ArrayBytes, RefusesAnythingButAnArrayOfBytes) {
  VARIANT empty;
  VariantInit(&empty);
  VARIANT number;
  VariantInit(&number);
  V_VT(&number) = VT_I4;
  V_I4(&number) = 65;
  VARIANT variants;
  VariantInit(&variants);
  V_VT(&variants) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&variants) = SafeArrayCreateVector(VT_VARIANT, 1, 1);
  ASSERT_NE(nullptr, V_ARRAY(&variants));
  for (const VARIANT* v : {&empty, &number, &variants}) {
    SCOPED_TRACE(V_VT(v));
    try {
      TArrayBytes bytes(*v);
      ADD_FAILURE() << "accepted";
    } catch (const EVariantInvalidArgError& e) {
      EXPECT_EQ(u"Invalid argument", e.message());
    }
  }
  VariantClear(&variants);
}

}  // namespace
}  // namespace velmora
