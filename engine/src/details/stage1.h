// SPDX-License-Identifier: MIT
// Internals of the Details Enhancer's first stage (gradient-domain compression) that the
// other stages and the tests reach directly; its kernels are in details/pyramid.h.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/tiling.h"
#include "details/pyramid.h"
#include "tmlib/details.h"
#include "tmlib/params.h"

extern "C" {

// Log luminance when working from disk: decodes the Radiance file srcPath (width x height)
// with decomp2 into out (at least 4 * width * height bytes), copies those raw RGBE rows to
// tmpPath and reads them back one row at a time to compute the docType-0 log luminance into
// out, invalid pixels taking the minimum valid log luminance. decoderFlag is passed through
// by calc_tm1 and not read. lumParam[0..2] are written.
// Returns height; -3 docType other than 0; -1 a side of 9 or less, a file that cannot be
// opened or positioned (or a null path); -2 a short write or read of the temporary file;
// -4 no memory for the row buffer; decomp2's own code when decoding fails.
int calc_tm0s(int docType, int width, int height, float *lumParam, const float *table, int decoderFlag,
              const char *srcPath, const char *tmpPath, float *out);

}  // extern "C"

namespace tmlib {

namespace stage1 {

// One level of the pyramid buffer.
struct Level {
  int w = 0;
  int h = 0;
  std::int64_t offset = 0;  // in floats, from the start of the buffer
  std::int64_t size() const { return static_cast<std::int64_t>(w) * h; }
};

// The Gaussian (analysis) levels that stage 1 computes, derived from a PyramidDims record.
struct Geometry {
  static constexpr int kMaxLevels = 64;
  Level levels[kMaxLevels];
  int count = 0;              // Gaussian levels: level 0 and its halvings down to element 9's width
  int solverLevels = 0;       // element 11 (L)
  std::int64_t capacity = 0;  // floats the caller's buffers hold: max(element 5, element 6)
};

// Checks a PyramidDims record against the image and fills the level table. The record must
// be what tm_dimSAV produces for its level 0 (elements 3, 4) and its level counts (11, 12);
// level 0 must cover the width x height image. Returns kOk or kErrOpen.
int pyramid_geometry(int width, int height, const std::int32_t *dims, Geometry *out);

}  // namespace stage1
}  // namespace tmlib
