// SPDX-License-Identifier: MIT
// Encoding strips of float rows as RGBE rows while a file is read, so that readers of float
// formats can hand the renderer its RGBE source without holding the whole image as floats.
// The encoding is the engine's own (extract_rgbe_preview kind 10 at scale 1), which treats
// negative and NaN samples as 0 and infinite ones as the largest finite float.
#pragma once

#include <tmlib/tmlib.h>

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace brightloom {

// Rows per strip, and the rows of the strip starting at y0 of an image h rows high: a strip
// never ends fewer than 5 rows before the bottom, because the encoder needs more than 4 rows.
constexpr int64_t kRgbeStripRows = 128;
inline int64_t rgbe_strip_rows(int64_t y0, int64_t h) {
  int64_t rows = std::min(kRgbeStripRows, h - y0);
  if (h - (y0 + rows) < 5) rows = h - y0;
  return rows;
}
// Float rows a strip buffer must hold.
constexpr int64_t kRgbeStripCapacity = kRgbeStripRows + 4;

// Encodes `rows` interleaved float rows (w pixels of spp samples) into RGBE rows at dst,
// the rows shared among up to `threads` threads. Pixels are independent, so the result does
// not depend on the split. Returns rows, or the engine's negative code.
inline int encode_rgbe_rows(const float *src, int w, int rows, int spp, unsigned char *dst, int threads) {
  const int parts = std::max(1, std::min(threads, rows / 5));
  std::vector<int> results(size_t(parts), 0);
  auto part = [&](int i) {
    const int a = int(int64_t(rows) * i / parts), b = int(int64_t(rows) * (i + 1) / parts);
    results[size_t(i)] = extract_rgbe_preview(TMLIB_SOURCE_FLOAT, w, b - a, spp, int64_t(w) * spp, w, b - a,
                                              src + int64_t(a) * w * spp, dst + int64_t(a) * w * 4);
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < parts; ++i) {
    try {
      pool.emplace_back(part, i);
    } catch (const std::system_error &) {
      part(i);  // no thread to be had: encode this part here
    }
  }
  part(0);
  for (std::thread &t : pool) t.join();
  for (int r : results)
    if (r < 0) return r;
  return rows;
}

}  // namespace brightloom
