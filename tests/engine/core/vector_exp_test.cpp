// SPDX-License-Identifier: MIT
// The vector exp gives the C library's expf bits: every 256th float bit pattern (16.8 million
// values over every class: zeros, subnormals, normals of both signs, the overflow and underflow
// boundaries, infinities and NaNs) plus the edges themselves, in place and out of place, at
// every tail length. bench/vector_exp_exhaustive_bench.cpp checks all 2^32 patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/vector_exp.h"

namespace {

using tmlib::vector_math::exp_floats_avx2;

bool avx2_fma() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

float from_bits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

size_t mismatches(const std::vector<float> &in, const std::vector<float> &out) {
  size_t bad = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const float s = std::exp(in[i]);
    if (std::memcmp(&s, &out[i], sizeof s) != 0 && ++bad <= 5)
      ADD_FAILURE() << "expf(" << in[i] << ") = " << s << ", vector " << out[i];
  }
  return bad;
}

TEST(VectorExp, SameBitsAsTheCLibraryOverEveryInputClass) {
  if (!avx2_fma()) GTEST_SKIP() << "this processor has no AVX2 and FMA: the scalar path is used";
  std::vector<float> in;
  in.reserve((size_t(1) << 24) + 64);
  for (std::uint64_t b = 0; b < (std::uint64_t(1) << 32); b += 256)
    in.push_back(from_bits(std::uint32_t(b + (b >> 12) % 256)));
  const float edges[] = {0.0f,
                         -0.0f,
                         std::numeric_limits<float>::denorm_min(),
                         -std::numeric_limits<float>::min(),
                         87.99999f,
                         88.0f,
                         88.72283f,
                         88.72284f,
                         89.0f,
                         -87.33654f,
                         -103.97207f,
                         -103.97208f,
                         -104.0f,
                         -150.0f,
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::max(),
                         -std::numeric_limits<float>::max(),
                         0.6931472f};
  in.insert(in.end(), std::begin(edges), std::end(edges));
  std::vector<float> out(in.size());
  exp_floats_avx2(in.data(), out.data(), int64_t(in.size()));
  EXPECT_EQ(mismatches(in, out), 0u);
  // In place, and every tail length after the four-wide body.
  for (int n = 0; n <= 9; ++n) {
    std::vector<float> part(edges, edges + 10 + n % 7), copy = part;
    exp_floats_avx2(copy.data(), copy.data(), int64_t(copy.size()));
    EXPECT_EQ(mismatches(part, copy), 0u) << n;
  }
  EXPECT_TRUE(tmlib::vector_math::exp_is_vector()) << "the C library's expf is not the one the vector path repeats";
}

TEST(VectorExp, DispatchedCallEqualsTheCLibraryWhicheverPathIsTaken) {
  std::vector<float> in(10007);
  for (size_t i = 0; i < in.size(); ++i) in[i] = -110.0f + 0.02f * float(i);
  std::vector<float> out(in.size());
  tmlib::exp_floats(in.data(), out.data(), int64_t(in.size()));
  EXPECT_EQ(mismatches(in, out), 0u);
}

}  // namespace
