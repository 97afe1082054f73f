// SPDX-License-Identifier: MIT
// Helpers the engine tests and the benchmarks share: the Details Enhancer run end to end through
// the pipeline library on a copy of an RGBE source (the preview's steps, buffers and records),
// reading a Radiance file, cutting a preview source.
#pragma once

#include <cstdint>
#include <vector>

namespace brightloom_test {

// Luminance statistics the dialog hands from one run to the next (lumParam 0, 1 and 3).
struct DetailsCarry {
  float lwa = 0.0f, lwmax = 0.0f, lwmed = 0.0f;
};

// Wall-clock milliseconds of each stage (tm_dim and calc_tm1, calc_tm2, calc_tm3).
struct DetailsTimes {
  double stage1 = 0.0, stage2 = 0.0, stage3 = 0.0;
};

// Tone-maps a width x height scanline-planar RGBE source (4 * width * height bytes, left
// untouched) with the method-1 record `param` (20 floats, copied) on `workers` threads into
// `out` (3 * width * height bytes, RGB, 8 bits). `carry`, when given, supplies and receives
// the statistics of the previous run. Returns the result of the last stage (> 0 success) or
// the first negative code of a stage or allocation (-4). `times`, when given, receives
// the time of each stage.
int run_details_enhancer(int width, int height, const std::uint8_t *rgbe, const float *param, int workers,
                         std::vector<std::uint8_t> &out, DetailsCarry *carry = nullptr, DetailsTimes *times = nullptr);

// Reads a run-length Radiance file into `rgbe`; returns 0 or the reader's negative code.
int load_radiance(const char *path, int &width, int &height, std::vector<std::uint8_t> &rgbe);

// Point-samples an RGBE image to width x height (the preview source of a float document).
int cut_rgbe_preview(int srcWidth, int srcHeight, const std::vector<std::uint8_t> &src, int width, int height,
                     std::vector<std::uint8_t> &out);

}  // namespace brightloom_test
