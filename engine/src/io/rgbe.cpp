// SPDX-License-Identifier: MIT
// The exponent table, conversion of 16-bit samples to RGBE and the linearisation curve.
#include <cmath>
#include <cstdint>
#include <limits>

#include "io/rgbe_pixel.h"
#include "core/status.h"
#include "tmlib/rgbe.h"

namespace tmlib {
namespace {

// Markers the first conversion pass leaves for the second: crushed shadows and clipped
// highlights are not measured, they take the darkest and brightest measured grey.
constexpr std::uint8_t kBlackMarker = 0;
constexpr std::uint8_t kSaturatedMarker = 255;
constexpr int kQuickBlack = 4;
constexpr int kQuickSaturated = 254;
constexpr float kNoMinimum = 1e11f;

// Colour channels of a pixel of spp interleaved samples: red first, green in the middle,
// blue last (one sample serves all three).
struct ChannelChoice {
  int r, g, b;
};

ChannelChoice choose_channels(int spp) { return {0, (spp - 1) / 2, spp - 1}; }

void put_pixel(unsigned char *row, std::int64_t width, std::int64_t x, RgbePixel p) {
  row[x] = p.r;
  row[width + x] = p.g;
  row[2 * width + x] = p.b;
  row[3 * width + x] = p.e;
}

// Sample is the raw sample type: 16-bit samples index a 65,536-entry curve, 8-bit samples a
// 256-entry one. Both kinds share the quick 8-bit luminance of the samples' high bytes.
template <typename Sample>
int convert_impl(int width, int height, int spp, std::int64_t rowStride, const float *curve, const Sample *src,
                 unsigned char *out) {
  if (width < 0 || height < 0 || spp < 1) return kErrDims;
  if (width == 0 || height == 0) return height;
  if (curve == nullptr || src == nullptr || out == nullptr) return kErrDims;

  const ChannelChoice ch = choose_channels(spp);
  constexpr unsigned kHighByte = 8 * (sizeof(Sample) - 1);
  constexpr unsigned kLastEntry = std::numeric_limits<Sample>::max();
  const std::int64_t w = width;
  float lumMax = 0.0f;
  float lumMin = kNoMinimum;

  for (std::int64_t y = 0; y < height; ++y) {
    const Sample *line = src + y * rowStride;
    unsigned char *row = out + rgbe_row_offset(w, y);
    for (std::int64_t x = 0; x < w; ++x) {
      const Sample *px = line + x * spp;
      const unsigned rs = px[ch.r], gs = px[ch.g], bs = px[ch.b];
      const unsigned q = (54u * (rs >> kHighByte) + 183u * (gs >> kHighByte) + 19u * (bs >> kHighByte)) >> 8;
      if (q <= kQuickBlack) {
        put_pixel(row, w, x, {kBlackMarker, kBlackMarker, kBlackMarker, kBlackMarker});
        continue;
      }
      if (q >= kQuickSaturated) {
        put_pixel(row, w, x, {kSaturatedMarker, kSaturatedMarker, kSaturatedMarker, kSaturatedMarker});
        continue;
      }
      const float r = curve[rs], g = curve[gs], b = curve[bs];
      const float l = 0.3f * r + 0.6f * g + 0.1f * b;
      if (l > lumMax) lumMax = l;
      if (l > 0.0f && l < lumMin) lumMin = l;
      put_pixel(row, w, x, rgbe_encode(r, g, b));
    }
  }

  // The marked pixels take the darkest measured grey while the running minimum has moved
  // below its start, and the brightest one whenever a measured pixel was brighter than
  // black. Without such a grey they take what the curve makes of the darkest or brightest
  // raw sample, which keeps them ordered and non-zero for any usable curve.
  const float darkest = lumMin < kNoMinimum ? lumMin : curve[0];
  const float brightest = lumMax > 0.0f ? lumMax : curve[kLastEntry];
  const RgbePixel lowGrey = rgbe_encode(darkest, darkest, darkest);
  const RgbePixel highGrey = rgbe_encode(brightest, brightest, brightest);

  for (std::int64_t y = 0; y < height; ++y) {
    unsigned char *row = out + rgbe_row_offset(w, y);
    const unsigned char *exps = row + 3 * w;
    for (std::int64_t x = 0; x < w; ++x) {
      if (exps[x] == kSaturatedMarker) {
        put_pixel(row, w, x, highGrey);
      } else if (exps[x] == kBlackMarker) {
        put_pixel(row, w, x, lowGrey);
      }
    }
  }
  return height;
}

}  // namespace
}  // namespace tmlib

extern "C" {

TMLIB_API int exp_lut(float *table, int offset) {
  if (table == nullptr) return 256;
  for (int i = 0; i < 256; ++i) {
    // 64-bit exponent so that an absurd offset saturates (0 or +inf) instead of overflowing.
    std::int64_t e = static_cast<std::int64_t>(i) + offset - 128;
    if (e > 1024) e = 1024;
    if (e < -1024) e = -1024;
    table[i] = std::ldexp(1.0f, static_cast<int>(e));
  }
  return 256;
}

TMLIB_API int convert_to_rgbe(int bits, int width, int height, int spp, int64_t rowStride, const float *curve,
                              const uint16_t *src, unsigned char *out) {
  // 8 bits: the buffer holds one byte per sample and the curve 256 entries, so that a caller
  // with the 8-bit camera curve never has 16-bit values looked up in it. Any other depth
  // means 16-bit samples, whatever the host's nominal depth.
  if (bits == 8)
    return tmlib::convert_impl(width, height, spp, rowStride, curve, reinterpret_cast<const std::uint8_t *>(src), out);
  return tmlib::convert_impl(width, height, spp, rowStride, curve, src, out);
}

TMLIB_API int camcurve(int linear, int size, float *curve) {
  // A table of one entry has no second entry to copy into the first: nothing to build.
  if (size <= 1 || curve == nullptr) return 1;
  const double gamma = linear < 1 ? 2.2 : 1.0;
  const int last = size - 1;
  const float step = 1.0f / static_cast<float>(last);
  for (int i = 1; i < size; ++i) {
    const float t = step * static_cast<float>(i);
    curve[i] = static_cast<float>(static_cast<double>(last) * std::pow(static_cast<double>(t), gamma));
  }
  curve[0] = curve[1];
  return size;
}

}  // extern "C"
