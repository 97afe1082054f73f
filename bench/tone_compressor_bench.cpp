// SPDX-License-Identifier: MIT
// Tone Compressor throughput: 8-bit output of a preview-sized and a camera-sized image with
// one and two workers. Goal: at least 25 megapixels per second per core, and two workers at
// least 1.8 times one on the large image.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "io/rgbe_pixel.h"
#include "tmlib/preview.h"
#include "tmlib/rgbe.h"
#include "tmlib/tone_compressor.h"

namespace {

struct Scene {
  int width, height;
  std::vector<unsigned char> rgbe;
  std::array<float, 256> table{};
  std::array<float, 7> stats{};
  std::vector<unsigned char> out;
};

// A synthetic HDR scene: a smooth gradient over about 12 stops with coloured noise, so that
// the statistics and the per-pixel powers look like those of a real photograph.
Scene make_scene(int width, int height) {
  Scene s{width, height, std::vector<unsigned char>(std::size_t(4) * width * height), {}, {}, {}};
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> noise(0.7f, 1.3f);
  for (int y = 0; y < height; ++y) {
    unsigned char *row = s.rgbe.data() + std::size_t(4) * width * y;
    for (int x = 0; x < width; ++x) {
      const float level = std::ldexp(1.0f, (12 * x) / width - 6 + (3 * y) / height);
      const tmlib::RgbePixel p = tmlib::rgbe_encode(level * noise(rng), level * noise(rng), level * noise(rng));
      row[x] = p.r;
      row[width + x] = p.g;
      row[2 * width + x] = p.b;
      row[3 * width + x] = p.e;
    }
  }
  exp_lut(s.table.data(), -8);
  logMinMaxMoy(width, height, s.table.data(), s.rgbe.data(), s.stats.data());
  s.out.resize(std::size_t(3) * width * height);
  return s;
}

void BM_ToneCompressor8(benchmark::State &state) {
  static Scene small = make_scene(858, 572);
  static Scene large = make_scene(4000, 3000);
  Scene &s = state.range(0) == 0 ? small : large;
  DimParam dim{{s.width, s.height, 3, 8, 8, 0, 3 * s.width, 0}};
  OptimParam opt{};
  opt.v[0] = state.range(1);
  std::array<float, 20> param{};
  param[0] = 1.0f;  // a little brightness and compression: the common path
  param[1] = 2.0f;
  for (auto _ : state) {
    const int r = tm_simple(dim, param.data(), s.stats.data(), s.table.data(), opt, s.rgbe.data(), s.out.data());
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(s.width) * s.height);
  state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) + " workers " +
                 std::to_string(state.range(1)));
}

BENCHMARK(BM_ToneCompressor8)
    ->ArgNames({"large", "workers"})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
