// SPDX-License-Identifier: MIT
// Internals of the Details Enhancer's finishing stage that tests reach directly.
#pragma once

#include <cstdint>

#include "tmlib/details.h"
#include "tmlib/params.h"

namespace tmlib {

// One cubic a x^3 + b x^2 + c x + d, as coeffPoly3 yields it.
struct Cubic {
  float a = 0.0f, b = 0.0f, c = 0.0f, d = 0.0f;
  float operator()(float x) const { return a * x * x * x + b * x * x + c * x + d; }
};

// A transition from value `from` at position p to value `to` at position q made of two
// cubics that meet halfway (position and value) with equal slopes and are flat at p and q.
// Below the midpoint the cubic anchored at p is used, from the midpoint on the one anchored
// at q. Outside [p, q] the cubics are simply extrapolated; callers test the ends themselves.
struct SmoothStep {
  float mid = 0.0f;
  Cubic low, high;
  float operator()(float x) const { return x < mid ? low(x) : high(x); }
};
SmoothStep make_smooth_step(float p, float from, float q, float to);

// Normalises the stage-2 plane of width x height floats in place between a black and a white
// clip point read from its own 65,536-bin histogram (WhiteClip param[TMLIB_DE_WHITE_CLIP], BlackClip
// param[TMLIB_DE_BLACK_CLIP]). Returns height; kErrPlaneMin / kErrPlaneMax (plane untouched) when the minimum / maximum
// is negative; kErrNoMemory when the histogram cannot be allocated. `dim` is not read (kept for the argument order of
// the stage). The plane may sit at any byte address (disk mode puts it inside the 16-bit destination); it is accessed
// bytewise.
int tm30(int width, int height, DimParam dim, const float *param, float *plane);
// tm30 with its passes split over `workers` (0..32); the same plane whatever the count. A
// worker that cannot be started has its band done on the calling thread and sets *fellBack
// (when given).
int normalise_plane(int workers, int width, int height, const float *param, float *plane, bool *fellBack = nullptr);

// Finishes `rows` rows (the band) of `width` pixels: the arguments of calc_tm3 with src, plane
// and dst already pointing at the band's first row. dim.v[TMLIB_DIM_SRC_STRIDE] is the source row stride in
// samples (kinds 1, 2, 10), dim.v[TMLIB_DIM_OUT_STRIDE] the destination row stride. When
// opt.v[TMLIB_OPT_READ_FROM_DISK] > 0 (disk mode) src and plane are ignored: the RGBE rows come from the file
// opt.v[TMLIB_OPT_SOURCE_FILE], the plane from inside dst (see details.h), and the plane is normalised here. Arguments
// are trusted: the public entry calc_tm3 checks them. Returns the rows written or a negative code.
int tm31(int kind, DimParam dim, const float *param, const float *lumParam, const float *table, const float *curve,
         OptimParam opt, const void *src, float *plane, void *dst, int width, int rows);

// Per-worker argument block of the banded run.
struct Tm3Task {
  int kind;
  DimParam dim;
  const float *param, *lumParam, *table, *curve;
  OptimParam opt;
  const void *src;
  float *plane;
  void *dst;
  int index, workers;
  int result;
};

// Worker body: computes band `index` of `workers` (the pointwise split) and runs tm31 on it,
// storing the rows written (or a negative code) in task->result.
void tm3_threaded(Tm3Task *task);

}  // namespace tmlib
