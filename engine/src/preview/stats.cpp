// SPDX-License-Identifier: MIT
// Log-luminance statistics of an RGBE buffer, their histogram and percentiles, and the
// 8-bit luminance histogram of a finished preview.
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "core/checked_size.h"
#include "io/rgbe_pixel.h"
#include "core/status.h"
#include "tmlib/preview.h"

extern "C" {
// Process-wide in the original design; one per thread here so that two images tone-mapped
// on two threads cannot cut each other's percentile search short.
TMLIB_API TMLIB_THREAD_LOCAL int GlobalCntAdjust = 0;
}

namespace {

using tmlib::kErrNoMemory;
using tmlib::kErrOpen;

// The statistics never look at more samples than this, whatever the image size.
constexpr std::int64_t kMaxSamples = 40000;
// Bins of the log-luminance histogram the percentiles are read from.
constexpr int kLogBins = 65536;
// A bin index b maps back to minimum + b * (maximum - minimum) / 65536.
constexpr float kInvLogBins = 1.0f / 65536.0f;

// Starting values of the running extremes. The maximum starts at 0, so an image darker
// than luminance 1 still reports a maximum log luminance of 0.
constexpr float kMinStart = 1e11f;
constexpr float kMaxStart = 0.0f;

// Fractions of the two percentiles reported besides the extremes and the mean.
constexpr float kMedianFraction = 0.5f;
constexpr float kHighFraction = 0.995f;

// Limit of the percentile search: at most this many adjustments per reset of the counter.
constexpr int kMaxAdjust = 39;

// Rec. 709 luminance weights of the mantissa bytes, applied in double precision.
constexpr double kWeightR = 0.2125, kWeightG = 0.7154, kWeightB = 0.0721;

// Luminance weights of the 8-bit preview histogram; they sum to 256, so level <= 255.
constexpr int kHistoWeightR = 54, kHistoWeightG = 183, kHistoWeightB = 19;

// n * p in single precision, truncated toward zero. A negative threshold is kept: every
// bin, the first included, then exceeds it. A NaN product counts as 0 and one beyond the
// 64-bit range saturates, so that the conversion is always defined.
std::int64_t threshold_of(float p, std::int64_t n) {
  const float t = static_cast<float>(n) * p;
  if (!(t == t)) return 0;
  if (t >= 9.2e18f) return INT64_MAX;
  if (t <= -9.2e18f) return INT64_MIN;
  return static_cast<std::int64_t>(t);
}

// Reads one percentile (slot value) back from the log histogram.
float bin_value(int bin, float minimum, float maximum) {
  return minimum + (static_cast<float>(bin) * (maximum - minimum)) * kInvLogBins;
}

}  // namespace

extern "C" {

TMLIB_API int logMinMaxMoy(int width, int height, const float *table, const unsigned char *rgbe, float *stats) {
  if (width < 0 || height < 0 || table == nullptr || rgbe == nullptr || stats == nullptr) return kErrOpen;
  const std::int64_t w = width;
  const std::int64_t pixels = w * height;
  // Every spacing-th pixel (by running index) is kept as a sample: at most 40,000.
  const std::int64_t spacing = pixels / kMaxSamples + 1;
  auto samples = tmlib::try_new<float>(kMaxSamples);
  if (!samples) return kErrNoMemory;

  std::int64_t count = 0;
  std::int64_t nSamples = 0;
  double sum = 0.0;
  float minimum = kMinStart;
  float maximum = kMaxStart;
  // The weighted products of every mantissa byte, in double: the same values the sum would
  // form pixel by pixel, looked up instead of converted and multiplied.
  double weightedR[256], weightedG[256], weightedB[256];
  for (int v = 0; v < 256; ++v) {
    weightedR[v] = kWeightR * v;
    weightedG[v] = kWeightG * v;
    weightedB[v] = kWeightB * v;
  }
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t *row = rgbe + tmlib::rgbe_row_offset(w, y);
    const std::uint8_t *red = row, *green = row + w, *blue = row + 2 * w, *expo = row + 3 * w;
    const std::int64_t rowIndex = y * w;
    // Running index of the next pixel of this row that is a multiple of the spacing.
    std::int64_t nextSample = (rowIndex + spacing - 1) / spacing * spacing - rowIndex;
    for (std::int64_t x = 0; x < w; ++x) {
      const bool sampled = x == nextSample;
      if (sampled) nextSample += spacing;
      const std::uint8_t e = expo[x];
      if (e == 0) continue;
      const auto lm = static_cast<float>(weightedR[red[x]] + weightedG[green[x]] + weightedB[blue[x]]);
      if (!(lm > 0.0f)) continue;
      ++count;
      const float l = std::log(lm * table[e]);
      sum += l;
      if (l > maximum) maximum = l;
      if (l < minimum) minimum = l;
      if (sampled && nSamples < kMaxSamples) samples[nSamples++] = l;
    }
  }

  stats[TMLIB_LOGSTAT_MIN] = minimum;
  stats[TMLIB_LOGSTAT_MAX] = maximum;
  stats[TMLIB_LOGSTAT_MEAN] = count > 0 ? static_cast<float>(sum / static_cast<float>(count)) : static_cast<float>(sum);
  // Kept when the histogram cannot be built: no memory, or all samples equal.
  stats[TMLIB_LOGSTAT_MEDIAN] = stats[TMLIB_LOGSTAT_MEAN];
  stats[TMLIB_LOGSTAT_P995] = maximum;

  auto histo = tmlib::try_new<std::int32_t>(kLogBins, true);
  if (histo && log_histo(nSamples, kLogBins, minimum, maximum, samples.get(), histo.get()) >= 0) {
    stats[TMLIB_LOGSTAT_MEDIAN] =
        bin_value(percentile(kMedianFraction, nSamples, kLogBins, histo.get()), minimum, maximum);
    stats[TMLIB_LOGSTAT_P995] = bin_value(percentile(kHighFraction, nSamples, kLogBins, histo.get()), minimum, maximum);
  }
  return height;
}

TMLIB_API int64_t log_histo(int64_t n, int bins, float min, float max, const float *samples, int32_t *histo) {
  // !(min < max) also refuses a NaN bound.
  if (!(min < max) || bins < 1 || n < 0 || histo == nullptr || (n > 0 && samples == nullptr)) return kErrOpen;
  const float scale = static_cast<float>(bins - 1) / (max - min);
  const int last = bins - 1;
  for (int64_t i = 0; i < n; ++i) {
    const float v = scale * (samples[i] - min);
    // Truncation toward zero, clamped to the bins; NaN lands in bin 0.
    int bin = 0;
    if (v >= static_cast<float>(last))
      bin = last;
    else if (v > 0.0f)
      bin = static_cast<int>(v);
    ++histo[bin];
  }
  return n;
}

TMLIB_API int percentile(float p, int64_t n, int bins, const int32_t *histo) {
  if (histo == nullptr || bins < 1) return bins;
  const std::int64_t threshold = threshold_of(p, n);
  std::int64_t total = 0;
  for (int b = 0; b < bins; ++b) {
    total += histo[b];
    if (total > threshold) return b;
  }
  return bins;
}

TMLIB_API float adjust_percentile(float p, int64_t n, int bins, const int32_t *histo) {
  // The fraction moves by 1 % steps until its bin lies between a quarter and nine tenths
  // of the histogram, or the counter runs out.
  const int lo = static_cast<int>(bins * 0.25);
  const int hi = static_cast<int>(bins * 0.9);
  int counter = GlobalCntAdjust;
  for (;;) {
    const int b = percentile(p, n, bins, histo);
    if (counter > kMaxAdjust) break;
    ++counter;
    if (b > hi)
      p = p * 0.99f;
    else if (b < lo)
      p = p * 1.01f;
    else
      break;
  }
  GlobalCntAdjust = counter;
  return p;
}

TMLIB_API int64_t histo4preview(int width, int height, int spp, const unsigned char *pixels, int32_t *histo) {
  if (histo == nullptr) return kErrOpen;
  for (int i = 0; i < TMLIB_HISTO_BINS; ++i) histo[i] = 0;
  if (width < 0 || height < 0 || spp < 1 || pixels == nullptr) return kErrOpen;
  const std::int64_t n = static_cast<std::int64_t>(width) * height;
  const std::int64_t step = spp;
  const std::int64_t gi = (spp - 1) / 2, bi = spp - 1;
  const unsigned char *p = pixels;
  for (std::int64_t i = 0; i < n; ++i, p += step) {
    const int level = (kHistoWeightR * p[0] + kHistoWeightG * p[gi] + kHistoWeightB * p[bi]) >> 8;
    ++histo[level];
  }
  return n;
}

TMLIB_API int getHistoMax(const int32_t *histo) {
  int largest = 1;
  if (histo == nullptr) return largest;
  for (int i = 0; i < TMLIB_HISTO_BINS; ++i)
    if (histo[i] > largest) largest = histo[i];
  return largest;
}

}  // extern "C"
