// SPDX-License-Identifier: MIT
// The Details Enhancer's pyramid kernels: log luminance of the source, the Gaussian
// reduction, gradient magnitudes and their attenuation (tm1b), upsampling of the attenuation
// maps and the divergence that makes the right-hand sides. Stage 1 strings them together.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/tiling.h"
#include "tmlib/details.h"
#include "tmlib/params.h"

extern "C" {

// Log luminance of the in-memory source into level 0 (W0 x H0 floats, row-major).
//   docType 0: RGBE scanline-planar rows (4 * width bytes each; rowLength is not read);
//              Y = 0.2126 R + 0.7152 G + 0.0722 B on the mantissas, value log(Y * table[E]).
//              A pixel with E = 0, or whose Y * table[E] is not a positive finite number,
//              takes the mean of the valid values. lumParam[0..2] are written.
//   docType 1: 16-bit samples, spp per pixel, rowLength samples per row (0: spp * width),
//              each through curve (65,536 floats); Y as above, at least 1. lumParam[0..2].
//   docType 2: 8-bit samples laid out the same way, each through curve (256 floats);
//              Y = 0.3 R + 0.6 G + 0.1 B, at least 1. lumParam is not touched.
// width2/height2 repeat the image size and must equal it. Columns width .. W0-1 repeat the
// row's last value, rows height .. H0-1 the last row.
// Returns height; -1 when a side is 9 or less, W0 < width, H0 < height, the sizes disagree,
// spp < 1, rowLength < spp * width, an unknown docType or a null pointer.
int calc_tm0(int docType, int spp, int width, int height, std::int64_t rowLength, int width2, int height2, int w0,
             int h0, float *lumParam, const float *table, const float *curve, const void *src, float *out);

// The pointwise attenuation of `rows` rows of `width` gradient magnitudes starting at
// buffer[offset]: every nonzero g becomes powf((c + g) / alpha, exponent); zeros stay.
// Returns rows.
int tm1b(int width, int rows, std::int64_t offset, float alpha, float exponent, float c, float *buffer);

}  // extern "C"

namespace tmlib {

// Argument record of one tm1b worker.
struct Tm1bTask {
  int width = 0;
  int height = 0;
  std::int64_t offset = 0;
  float *buffer = nullptr;
  float alpha = 0.0f;
  float exponent = 0.0f;
  float c = 0.0f;
  int index = 0;
  int nbProc = 0;
  int result = 0;  // rows done by this worker
};

// Worker body: the pointwise band `index` of `nbProc` over the task's level.
void tm1b_threaded(Tm1bTask *task);

namespace stage1 {

// Grids of at most this many cells are attenuated on the calling thread.
constexpr std::int64_t kThreadedMinCells = 1200;

// Log luminance given to invalid RGBE pixels until the mean (or, from disk, the minimum)
// of the valid values is known; anything below kInvalidBelow is such a placeholder.
constexpr float kInvalidLog = -1e9f;
constexpr float kInvalidBelow = -1e8f;

// Running statistics of the valid log luminances of one image.
struct LogStats {
  double sum = 0.0;  // double: a float running sum over millions of logs loses whole units
  std::int64_t count = 0;
  float min = 0.0f;
  float max = 0.0f;
  void add(float v) {
    if (count == 0) {
      min = max = v;
    } else {
      min = std::min(min, v);
      max = std::max(max, v);
    }
    sum += v;
    ++count;
  }
  float mean() const { return count > 0 ? static_cast<float>(sum / static_cast<double>(count)) : 0.0f; }
  // lumParam 0..2: log-average luminance, maximum over it, minimum luminance. With no valid
  // value all three are 1 (a flat range, which the percentile statistics then skip).
  void write(float *lumParam) const {
    const float avg = std::exp(mean());
    lumParam[0] = avg;
    lumParam[1] = std::exp(count > 0 ? max : 0.0f) / avg;
    lumParam[2] = std::exp(count > 0 ? min : 0.0f);
  }
};

// One scanline-planar RGBE row to log luminance; invalid pixels get kInvalidLog and do not
// enter stats.
void rgbe_log_row(const std::uint8_t *row, int width, const float *table, float *out, LogStats *stats);

// Replaces the kInvalidLog placeholders in the width x height area of a level of width w0.
void replace_invalid_logs(float *out, int width, int height, int w0, float value);

// One reduction step of the Gaussian pyramid: coarse (ceil(wf/2) x ceil(hf/2)) from fine.
// The odd last row of a fine level is clamped (its missing lower neighbours are the row
// itself), never read past the level.
void gaussian_reduce(const float *fine, int wf, int hf, float *coarse, bool is360);
// The same over `workers` threads (bands of coarse rows) for levels of more than
// kThreadedMinCells cells: the same values whatever the count.
void gaussian_reduce(int workers, const float *fine, int wf, int hf, float *coarse, bool is360);

// calc_tm0 with its logarithms over `workers` threads (bands of rows); the statistics are
// still gathered in pixel order, so the level and lumParam are the same whatever the count.
int log_luminance(int workers, int docType, int spp, int width, int height, std::int64_t rowLength, int width2,
                  int height2, int w0, int h0, float *lumParam, const float *table, const float *curve, const void *src,
                  float *out);

// Replaces the w x h log luminance at lev by the gradient magnitudes scale * |grad|, with
// components beyond +-100 set to 0. prevRow and curRow are scratch rows of w floats.
// Returns the sum of the magnitudes.
double gradient_level(float *lev, int w, int h, float scale, bool is360, float *prevRow, float *curRow);
// The same over `workers` threads (bands of rows) for levels of more than kThreadedMinCells
// cells; the same magnitudes and the same sum whatever the count.
double gradient_level(int workers, float *lev, int w, int h, float scale, bool is360, float *prevRow, float *curRow);

// Attenuates one level in place with tm1b, over `workers` threads (pointwise bands) when
// workers >= 2 and the level has more than kThreadedMinCells cells. A worker that cannot be
// started has its band done on the calling thread, so every cell is attenuated exactly once.
RunMode attenuate_level(int workers, int w, int h, std::int64_t offset, float alpha, float exponent, float c,
                        float *buffer);

// out (wf x hf) = fine * (coarse upsampled 2x), coarse being ceil(wf/2) x ceil(hf/2). Even
// positions take the coarse value, positions between two coarse cells their mean, between
// four the mean of the four; a last odd column or row without a coarse neighbour beyond it
// takes the nearer coarse value, except that with is360 the last column interpolates with
// coarse column 0. out may be fine itself, or may start before coarse in one buffer as long
// as coarse ends where out ends (rows are written front to back, never overtaking the coarse
// values still to be read).
void upsample_multiply(const float *coarse, const float *fine, float *out, int wf, int hf, bool is360);

// One row of the right-hand side: with phi the attenuation map and H the log luminance,
// b = phi(x)(H(x+1) - H(x)) - phi(x-1)(H(x) - H(x-1)) + phi(x)(H(x, y+1) - H(x))
//     - phi(x, y-1)(H(x) - H(x, y-1)),
// evaluated left to right, each term dropped where its neighbour lies outside the level (zero
// flux across the borders, no wrap). phiPrev/hPrev are null on the first row, hNext on the
// last. out must not alias phiCur or phiPrev.
void divergence_row(const float *phiPrev, const float *phiCur, const float *hPrev, const float *hCur,
                    const float *hNext, int w, float *out);

// The right-hand side of a whole in-memory level, written over phi (w x h); H is the saved
// log luminance of the level; phiPrev and phiCur are scratch rows of w floats.
void divergence_level(float *phi, int w, int h, const float *H, float *phiPrev, float *phiCur);
// The same over `workers` threads (bands of rows) for levels of more than kThreadedMinCells
// cells; the same values whatever the count.
void divergence_level(int workers, float *phi, int w, int h, const float *H, float *phiPrev, float *phiCur);

}  // namespace stage1
}  // namespace tmlib
