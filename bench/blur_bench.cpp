// SPDX-License-Identifier: MIT
// Relaxation throughput: blur0 on a 2000 x 1500 grid, 10 red-black iterations, one and two
// workers, in cells relaxed per second. Goal: two workers at least 1.6 times one.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tmlib/blur.h"

namespace {

void BM_Blur0(benchmark::State &state) {
  const int width = 2000, height = 1500, iterations = 10;
  const std::size_t n = std::size_t(width) * height;
  std::vector<float> u(n), rhs(n);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  for (float &v : rhs) v = d(rng);
  const int workers = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::fill(u.begin(), u.end(), 0.0f);
    state.ResumeTiming();
    benchmark::DoNotOptimize(blur0(workers, width, height, 0.5f, iterations, 0, 0, u.data(), 0, nullptr, rhs.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(n) * iterations);
  state.SetLabel("2000x1500, 10 iterations, workers " + std::to_string(workers));
}

BENCHMARK(BM_Blur0)->ArgName("workers")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
