// SPDX-License-Identifier: MIT
#include "core/simd.h"

#include <gtest/gtest.h>

namespace tmlib {
namespace {

TMLIB_FMA_KERNEL float fused_in_kernel(float a, float b, float c) { return fmsf32(a, b, c); }

// 1 + 2^-12 squared is 1 + 2^-11 + 2^-24: the last term survives only when the product is
// not rounded before the subtraction.
TEST(Fma, KernelsFuseTheMultiplySubtract) {
  const float a = 1.0f + 1.0f / 4096.0f;
  const float c = 1.0f + 1.0f / 2048.0f;
  EXPECT_EQ(fused_in_kernel(a, a, c), -1.0f / 16777216.0f);
  EXPECT_EQ(fmaf32(a, a, -c), 1.0f / 16777216.0f);
}

}  // namespace
}  // namespace tmlib
