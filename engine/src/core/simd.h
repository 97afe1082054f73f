// SPDX-License-Identifier: MIT
// Fused multiply-add on the processor's own instruction, chosen at run time.
//
// A kernel whose arithmetic calls for fused multiply-adds is marked TMLIB_FMA_KERNEL: the
// compiler builds it twice, once for processors with the FMA instruction set and once for
// the rest, and the loader picks the right one when the library is loaded. Inside such a
// kernel tmlib::fmaf32 compiles to a single vfmadd instruction; only the clone for
// processors without FMA falls back to the C library. The fused operations must be written
// in the body of the marked function itself (or in always-inline helpers such as fmaf32):
// a lambda or an out-of-line helper is a separate function and would not get the FMA clone.
#pragma once

#include <cmath>

#if defined(__SANITIZE_THREAD__)
#define TMLIB_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TMLIB_THREAD_SANITIZER 1
#endif
#endif

// ThreadSanitizer's run time is not ready when the loader calls the clones' resolvers (it
// crashes before main), so its diagnostic build uses the C library's exact fmaf instead.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TMLIB_THREAD_SANITIZER)
#define TMLIB_FMA_KERNEL __attribute__((target_clones("fma", "default")))
#else
#define TMLIB_FMA_KERNEL
#endif

namespace tmlib {

// a * b + c with one rounding, in single precision.
[[gnu::always_inline]] inline float fmaf32(float a, float b, float c) { return __builtin_fmaf(a, b, c); }

// c - a * b with one rounding (the "fused multiply-subtract" of the kernels).
[[gnu::always_inline]] inline float fmsf32(float a, float b, float c) { return __builtin_fmaf(-a, b, c); }

}  // namespace tmlib
