// SPDX-License-Identifier: MIT
// Cost of cutting the preview source from a 12-megapixel float document and of taking its
// log-luminance statistics, each on one core: the two steps run whenever the preview size
// changes, so they should stay well under 5 ms each.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "tmlib/preview.h"
#include "tmlib/rgbe.h"

namespace {

constexpr int kSrcW = 4000, kSrcH = 3000, kSpp = 3;
constexpr int kDstW = 858, kDstH = 572;  // preview size type 1 of a 4:3 document

// A float picture with a 20-stop range, colour, and a few negative samples as real files
// carry them; a small LCG keeps it reproducible.
const std::vector<float> &source() {
  static const std::vector<float> src = [] {
    std::vector<float> v(static_cast<size_t>(kSrcW) * kSrcH * kSpp);
    std::uint32_t state = 12345;
    for (int y = 0; y < kSrcH; ++y)
      for (int x = 0; x < kSrcW; ++x) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) / 16777216.0f;
        const float l = std::exp2(-10.0f + 20.0f * (0.7f * x / kSrcW + 0.3f * noise));
        float *p = &v[(static_cast<size_t>(y) * kSrcW + x) * kSpp];
        p[0] = l * (0.8f + 0.4f * noise);
        p[1] = l;
        p[2] = (state & 0xFFF) == 0 ? -0.001f : l * (1.2f - 0.4f * noise);
      }
    return v;
  }();
  return src;
}

void BM_ExtractFloatPreview(benchmark::State &state) {
  const auto &src = source();
  std::vector<std::uint8_t> dst(4 * kDstW * kDstH);
  for (auto _ : state) {
    const int r =
        extract_rgbe_preview(10, kSrcW, kSrcH, kSpp, int64_t{kSrcW} * kSpp, kDstW, kDstH, src.data(), dst.data());
    if (r != kDstH) state.SkipWithError("extract_rgbe_preview failed");
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kDstW * kDstH);
}
BENCHMARK(BM_ExtractFloatPreview)->Unit(benchmark::kMillisecond);

void BM_LogMinMaxMoy(benchmark::State &state) {
  const auto &src = source();
  std::vector<std::uint8_t> preview(4 * kDstW * kDstH);
  extract_rgbe_preview(10, kSrcW, kSrcH, kSpp, int64_t{kSrcW} * kSpp, kDstW, kDstH, src.data(), preview.data());
  float table[256];
  exp_lut(table, 0);  // the table the dialog uses when it sets a new preview source
  float stats[7];
  for (auto _ : state) {
    if (logMinMaxMoy(kDstW, kDstH, table, preview.data(), stats) != kDstH) state.SkipWithError("logMinMaxMoy failed");
    benchmark::DoNotOptimize(stats);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kDstW * kDstH);
}
BENCHMARK(BM_LogMinMaxMoy)->Unit(benchmark::kMillisecond);

}  // namespace
