// SPDX-License-Identifier: MIT
// Test images in the engine's scanline-planar RGBE layout: per row W red, W green, W blue,
// W exponent bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/rgbe_pixel.h"

namespace tmlib::test {

// Stores pixel x of a planar row of width w.
inline void store_planar(std::uint8_t *row, std::int64_t w, std::int64_t x, RgbePixel p) {
  row[x] = p.r;
  row[w + x] = p.g;
  row[2 * w + x] = p.b;
  row[3 * w + x] = p.e;
}

// A planar buffer of the row-major pixels px of a w x h image.
inline std::vector<std::uint8_t> planar_rgbe(int w, int h, const std::vector<RgbePixel> &px) {
  std::vector<std::uint8_t> buf(4 * static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      store_planar(buf.data() + 4 * static_cast<std::size_t>(w) * y, w, x, px[static_cast<std::size_t>(y) * w + x]);
  return buf;
}

}  // namespace tmlib::test
