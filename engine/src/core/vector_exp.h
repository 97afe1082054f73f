// SPDX-License-Identifier: MIT
// exp of many floats at once, the same bits as the C library's expf one value at a time.
//
// The C library's expf (the table-and-polynomial algorithm in double precision that its FMA
// variant runs on processors with AVX2 and FMA) is repeated on four lanes: the same
// constants, the same fused operations in the same order, the same rounding to float. Lanes
// the algorithm treats as special (|x| >= 88, infinities, NaN) are handed to expf itself. The
// vector path is chosen at run time only on processors with AVX2 and FMA, and only after it has
// given the C library's bits on a set of probe values, so a C library that computes expf
// otherwise keeps the scalar path.
#pragma once

#include <cstdint>

namespace tmlib {

// out[i] = expf(in[i]) for i < n; out may be in.
void exp_floats(const float *in, float *out, std::int64_t n);

namespace vector_math {
// Whether exp_floats uses the vector path on this machine.
bool exp_is_vector();
// The vector path alone (AVX2 + FMA processors only), for the checks that compare it with expf.
void exp_floats_avx2(const float *in, float *out, std::int64_t n);
}  // namespace vector_math

}  // namespace tmlib
