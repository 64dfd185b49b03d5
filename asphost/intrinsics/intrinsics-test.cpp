#include <gtest/gtest.h>
#include "asphost/intrinsics/intrinsics.h"
TEST(Intrinsics, Builds) {}
