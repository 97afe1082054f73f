// SPDX-License-Identifier: MIT
// Encoding of one RGBE pixel, shared by every producer of RGBE buffers.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

namespace tmlib {

// A channel as the encoder accepts it: negative and NaN values are black, +inf is the
// largest finite float. Real HDR files carry small negative samples; without this a
// negative channel would wrap its mantissa into a bright speck.
inline float rgbe_clean_channel(float v) {
  if (!(v > 0.0f)) return 0.0f;  // negative, zero or NaN
  if (std::isinf(v)) return FLT_MAX;
  return v;
}

struct RgbePixel {
  std::uint8_t r, g, b, e;
};

// Encodes (r, g, b): with M the largest component split as f * 2^x (f in [0.5, 1)),
// s = f * 256 / M (double, rounded to float), each mantissa = (float)(c * s) truncated,
// exponent byte = x + 128. Black stays (0,0,0,0). The exponent byte can hold x + 128 in
// 1 .. 255 only: a colour too faint for that is black, one too bright for it is clamped
// to the brightest encodable value, so no exponent ever wraps around.
inline RgbePixel rgbe_encode(float r, float g, float b) {
  r = rgbe_clean_channel(r);
  g = rgbe_clean_channel(g);
  b = rgbe_clean_channel(b);
  float m = r > g ? r : g;
  if (b > m) m = b;
  if (m <= 0.0f) return {0, 0, 0, 0};
  int x = 0;
  const double f = std::frexp(static_cast<double>(m), &x);
  if (x + 128 < 1) return {0, 0, 0, 0};
  if (x + 128 > 255) {
    // Clamp to mantissa 255 at exponent byte 255, keeping the channel ratios.
    const float s = 255.0f / m;
    return {static_cast<std::uint8_t>(r * s), static_cast<std::uint8_t>(g * s), static_cast<std::uint8_t>(b * s), 255};
  }
  // s is exactly 2^(8 - x). For the faintest colours (x < -119) that power does not fit in a
  // float: the rounded scale would be +inf and the products inf or NaN. The double products
  // are the same exact values the float ones are everywhere else, so they take over there.
  const double sd = f * 256.0 / static_cast<double>(m);
  if (sd > static_cast<double>(FLT_MAX)) {
    return {static_cast<std::uint8_t>(r * sd), static_cast<std::uint8_t>(g * sd), static_cast<std::uint8_t>(b * sd),
            static_cast<std::uint8_t>(x + 128)};
  }
  const float s = static_cast<float>(sd);
  return {static_cast<std::uint8_t>(r * s), static_cast<std::uint8_t>(g * s), static_cast<std::uint8_t>(b * s),
          static_cast<std::uint8_t>(x + 128)};
}

// Decodes one mantissa with its exponent byte: m * 2^(e - 136), no half-step offset.
// Exact in float for every byte pair (the smallest nonzero value, 2^-136, is subnormal).
inline float rgbe_decode(std::uint8_t m, std::uint8_t e) {
  return std::ldexp(static_cast<float>(m), static_cast<int>(e) - 136);
}

// Byte offsets of pixel x's four components in row y of a scanline-planar RGBE buffer.
inline std::int64_t rgbe_row_offset(std::int64_t width, std::int64_t y) { return 4 * width * y; }

}  // namespace tmlib
