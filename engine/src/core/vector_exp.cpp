// SPDX-License-Identifier: MIT
#include "core/vector_exp.h"

#include <cmath>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TMLIB_HAVE_AVX2_EXP 1
#endif

namespace tmlib {
namespace vector_math {
namespace {

#if TMLIB_HAVE_AVX2_EXP
// 2^(i/32) as doubles with i/32 taken out of the exponent field (added back from k below).
alignas(32) constexpr std::uint64_t kExp2Table[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
constexpr double kInvLn2N = 0x1.71547652b82fep+5;  // 32 / ln 2
constexpr double kShift = 0x1.8p+52;               // rounds k to an integer in the low bits
constexpr double kC0 = 0x1.c6af84b912394p-20, kC1 = 0x1.ebfce50fac4f3p-13, kC2 = 0x1.62e42ff0c52d6p-6;
// |x| with this top-12-bit field or above (|x| >= 88, infinities, NaN) takes expf's own path.
constexpr int kSpecialTop = 0x42b;
#endif

bool probes_agree();

bool choose_vector() {
#if TMLIB_HAVE_AVX2_EXP
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return false;
  return probes_agree();
#else
  return false;
#endif
}

// Values over the whole range of finite inputs, the boundaries of the special cases and
// values whose results round near a tie: the vector path is used only if all agree.
bool probes_agree() {
#if TMLIB_HAVE_AVX2_EXP
  constexpr int kProbes = 4096;
  float in[kProbes], vec[kProbes];
  for (int i = 0; i < kProbes; ++i) {
    const float t = -104.0f + 193.0f * float(i) / float(kProbes);
    std::uint32_t bits;
    std::memcpy(&bits, &t, sizeof bits);
    bits ^= std::uint32_t(i * 2654435761u) & 0xfffu;  // scatter the low mantissa bits
    std::memcpy(&in[i], &bits, sizeof bits);
  }
  const float edges[] = {0.0f,      -0.0f,     1e-30f,     -1e-30f,          87.99999f, 88.0f,
                         88.72283f, 88.72284f, -87.33654f, -103.9720840454f, -104.0f,   1.0f,
                         -1.0f,     0.5f,      1.0e-8f,    0.6931472f};
  std::memcpy(in, edges, sizeof edges);
  exp_floats_avx2(in, vec, kProbes);
  for (int i = 0; i < kProbes; ++i) {
    const float s = std::exp(in[i]);
    if (std::memcmp(&s, &vec[i], sizeof s) != 0) return false;
  }
  return true;
#else
  return false;
#endif
}

}  // namespace

#if TMLIB_HAVE_AVX2_EXP
__attribute__((target("avx2,fma"))) void exp_floats_avx2(const float *in, float *out, std::int64_t n) {
  const __m256d invLn2N = _mm256_set1_pd(kInvLn2N), shift = _mm256_set1_pd(kShift);
  const __m256d c0 = _mm256_set1_pd(kC0), c1 = _mm256_set1_pd(kC1), c2 = _mm256_set1_pd(kC2);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256i low5 = _mm256_set1_epi64x(31);
  const __m128i topMask = _mm_set1_epi32(0x7ff), topLimit = _mm_set1_epi32(kSpecialTop - 1);
  std::int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 xf = _mm_loadu_ps(in + i);
    const __m128i top = _mm_and_si128(_mm_srli_epi32(_mm_castps_si128(xf), 20), topMask);
    const int special = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(top, topLimit)));
    float saved[4];
    _mm_storeu_ps(saved, xf);
    // x * 32/ln2 = k + r, k rounded to an integer by the shift; exp(x) = 2^(k/32) 2^(r/32).
    const __m256d xd = _mm256_cvtps_pd(xf);
    __m256d kd = _mm256_fmadd_pd(invLn2N, xd, shift);
    const __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, shift);
    const __m256d r = _mm256_fmsub_pd(invLn2N, xd, kd);
    __m256i t = _mm256_i64gather_epi64(reinterpret_cast<const long long *>(kExp2Table), _mm256_and_si256(ki, low5), 8);
    t = _mm256_add_epi64(t, _mm256_slli_epi64(ki, 47));
    const __m256d s = _mm256_castsi256_pd(t);
    const __m256d z = _mm256_fmadd_pd(r, c0, c1);
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(r, c2, one);
    y = _mm256_fmadd_pd(z, r2, y);
    y = _mm256_mul_pd(y, s);
    _mm_storeu_ps(out + i, _mm256_cvtpd_ps(y));
    if (special != 0)
      for (int l = 0; l < 4; ++l)
        if ((special >> l) & 1) out[i + l] = std::exp(saved[l]);
  }
  for (; i < n; ++i) out[i] = std::exp(in[i]);
}
#else
void exp_floats_avx2(const float *in, float *out, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}
#endif

bool exp_is_vector() {
  static const bool vector = choose_vector();
  return vector;
}

}  // namespace vector_math

void exp_floats(const float *in, float *out, std::int64_t n) {
  if (vector_math::exp_is_vector()) {
    vector_math::exp_floats_avx2(in, out, n);
    return;
  }
  for (std::int64_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}

}  // namespace tmlib
