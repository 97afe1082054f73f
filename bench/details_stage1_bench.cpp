// SPDX-License-Identifier: MIT
// The Details Enhancer's first stage on a dialog preview (858 x 572, size type 1 of a 3:2
// image) and on a 4000 x 3000 image, with one and two workers. The pictures are enlarged by
// point sampling from a real Radiance file of the test data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tmlib/details.h"
#include "tmlib/params.h"
#include "tmlib/preview.h"
#include "tmlib/rgbe.h"

namespace {

struct Source {
  int w = 0, h = 0;
  std::vector<unsigned char> rgbe;
};

Source load_picture() {
  const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/forest-luminancehdr.hdr";
  float primaries[8];
  int32_t dims[7] = {};
  if (rgbe_dim2(path.c_str(), primaries, dims) < 0) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  Source s{dims[0], dims[1], std::vector<unsigned char>(4 * static_cast<size_t>(dims[0]) * dims[1])};
  if (decomp_rle(path.c_str(), dims, s.rgbe.data()) < 0) {
    std::fprintf(stderr, "cannot decode %s\n", path.c_str());
    std::exit(1);
  }
  return s;
}

const Source &resized(int w, int h) {
  static const Source picture = load_picture();
  static std::vector<Source> cache;
  for (const auto &s : cache)
    if (s.w == w && s.h == h) return s;
  Source s{w, h, std::vector<unsigned char>(4 * static_cast<size_t>(w) * h)};
  extract_rgbe_preview(0, picture.w, picture.h, 4, 4 * static_cast<int64_t>(picture.w), w, h, picture.rgbe.data(),
                       s.rgbe.data());
  cache.push_back(std::move(s));
  return cache.back();
}

// One refresh of stage 1 as the preview driver makes it: sizes, buffers, calc_tm1.
void BM_calc_tm1(benchmark::State &state) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  const int workers = static_cast<int>(state.range(2));
  const Source &src = resized(w, h);
  float param[20];
  tmparam_default(1, 0, param);
  int32_t dims[13] = {};
  tm_dim(w, h, param, dims);
  const int64_t m = std::max(dims[5], dims[6]);
  const size_t workBytes = std::max<size_t>(4 * static_cast<size_t>(m), src.rgbe.size());
  std::vector<unsigned char> work(workBytes);
  std::vector<float> pyramid(static_cast<size_t>(m));
  std::vector<float> table(256);
  exp_lut(table.data(), -8);
  float lum[7] = {};
  DimParam dim;
  init_dim_param(&dim);
  dim.v[0] = w;
  dim.v[1] = h;
  dim.v[6] = 3 * w;
  OptimParam opt;
  init_optim_param(&opt);
  opt.v[0] = workers;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(work.data(), src.rgbe.data(), src.rgbe.size());
    state.ResumeTiming();
    const int r = calc_tm1(0, dim, param, dims, lum, table.data(), nullptr, 0, opt, work.data(), pyramid.data());
    if (r < 0) state.SkipWithError("calc_tm1 failed");
    benchmark::DoNotOptimize(pyramid.data());
  }
  state.counters["work_MB"] = static_cast<double>(workBytes) / 1e6;
  state.counters["pyramid_MB"] = static_cast<double>(pyramid.size() * sizeof(float)) / 1e6;
  state.counters["Mpixel/s"] =
      benchmark::Counter(static_cast<double>(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_calc_tm1)
    ->ArgNames({"w", "h", "workers"})
    ->Args({858, 572, 1})
    ->Args({858, 572, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_calc_tm1)
    ->ArgNames({"w", "h", "workers"})
    ->Args({4000, 3000, 1})
    ->Args({4000, 3000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace
