// SPDX-License-Identifier: MIT
// Stage 2 of the Details Enhancer: the Poisson solve on right-hand sides of a preview-sized and
// a photo-sized image, conjugate-gradient cascade (SmoothingMode 1) and multigrid (0), one and
// two workers; and the vector kernels of the solve against a plain copy of the same vectors.
//
// The right-hand sides are built here rather than by stage 1: on every solver level the
// divergence of the gradient of a smooth field with fine noise, scaled down as the
// attenuation would, which is what stage 1 hands over in character and in size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "details/stage2.h"
#include "tmlib/details.h"
#include "tmlib/params.h"

namespace {

using tmlib::stage2::LevelSize;

struct Setup {
  int W = 0, H = 0;
  int32_t dims[TMLIB_PYRAMID_DIMS] = {};
  float param[TMLIB_TMPARAM_SLOTS] = {};
  std::vector<float> pyramid;  // template, copied before each run
};

std::vector<float> field(int w, int h, int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> f(static_cast<std::size_t>(w) * h);
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) {
      const float x = static_cast<float>(c) * W / w, y = static_cast<float>(r) * H / h;
      f[static_cast<std::size_t>(r) * w + c] =
          2.0f * std::sin(x * 0.004f) * std::cos(y * 0.006f) +
          1.5f * std::exp(-((x - W / 3.0f) * (x - W / 3.0f) + (y - H / 2.0f) * (y - H / 2.0f)) / (0.02f * W * H)) +
          noise(rng);
    }
  }
  return f;
}

const Setup &setup_for(int W, int H, int mode) {
  static std::vector<std::unique_ptr<Setup>> cache;
  for (const auto &s : cache)
    if (s->W == W && s->H == H && static_cast<int>(s->param[16]) == mode) return *s;
  auto s = std::make_unique<Setup>();
  s->W = W;
  s->H = H;
  tmparam_default(1, 0, s->param);
  s->param[16] = static_cast<float>(mode);
  tm_dim(W, H, s->param, s->dims);
  s->dims[1] = W;
  s->dims[2] = H;
  const int64_t size = std::max<int64_t>(s->dims[5], s->dims[6]);
  s->pyramid.assign(static_cast<std::size_t>(size), 0.0f);
  const int L = s->dims[11];
  const auto levels = tmlib::stage2::cascade_levels(W, H, mode > 0 ? std::max(L - 1, 1) : 1);
  int64_t at = 0;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    const LevelSize lv = levels[k];
    const auto f = field(lv.w, lv.h, W, H, 17u + static_cast<unsigned>(k));
    tm20m(0, lv.w, lv.h, 0, f.data(), s->pyramid.data() + at);
    for (int64_t i = 0; i < lv.cells(); ++i) s->pyramid[at + i] *= 0.4f;
    at += lv.cells();
  }
  cache.push_back(std::move(s));
  return *cache.back();
}

// CPU time of the whole process (every thread), milliseconds.
double process_cpu_ms() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

double maxrss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// Arguments: width, height, SmoothingMode, workers.
void BM_calc_tm2(benchmark::State &state) {
  const int W = static_cast<int>(state.range(0)), H = static_cast<int>(state.range(1));
  const int mode = static_cast<int>(state.range(2)), workers = static_cast<int>(state.range(3));
  const Setup &s = setup_for(W, H, mode);
  std::vector<float> work(s.pyramid.size());
  DimParam dim{};
  dim.v[0] = W;
  dim.v[1] = H;
  OptimParam opt{};
  opt.v[0] = workers;
  float param[TMLIB_TMPARAM_SLOTS];
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(work.data(), s.pyramid.data(), work.size() * sizeof(float));
    std::memcpy(param, s.param, sizeof(param));
    const double c0 = process_cpu_ms();
    state.ResumeTiming();
    const int rc = calc_tm2(dim, s.dims[7], s.dims[8], s.dims[5], s.dims[11], param, opt, work.data());
    state.PauseTiming();
    cpu += process_cpu_ms() - c0;
    state.ResumeTiming();
    if (rc < 0) state.SkipWithError("calc_tm2 failed");
    benchmark::DoNotOptimize(work.data());
  }
  // Over all threads: on an idle machine the wall time of a run with two workers is close to
  // half of this plus the thread start-up, which a loaded machine hides.
  state.counters["proc_cpu_ms"] = cpu / static_cast<double>(state.iterations());
  const double N = static_cast<double>(W) * H;
  state.counters["levels"] = s.dims[11];
  if (mode > 0) {
    // Iterations per level, coarsest first, as digits of one number (two per level).
    std::memcpy(work.data(), s.pyramid.data(), work.size() * sizeof(float));
    std::memcpy(param, s.param, sizeof(param));
    tmlib::stage2::CascadeStats st;
    tmlib::stage2::calc_tm2new2_stats(dim, s.dims[11] - 1, param, opt, work.data(), &st);
    double total = 0;
    for (std::size_t k = 0; k < st.iterations.size(); ++k) {
      state.counters["it_L" + std::to_string(st.iterations.size() - 1 - k)] = st.iterations[k];
      total += st.iterations[k];
    }
    state.counters["it_total"] = total;
    state.counters["scratch_MB"] = 4.0 * N * sizeof(float) / 1e6;  // B, X, r, T
  } else {
    tmlib::stage2::GridHierarchy g;
    tmlib::stage2::grid_hierarchy(W, H, s.dims[7], s.dims[8], s.dims[11], &g);
    state.counters["scratch_MB"] = (static_cast<double>(g.total) + N) * sizeof(float) / 1e6;  // u, residual
  }
  state.counters["maxrss_MB"] = maxrss_mb();
}

BENCHMARK(BM_calc_tm2)
    ->ArgNames({"W", "H", "mode", "workers"})
    ->Args({858, 572, 1, 1})
    ->Args({858, 572, 1, 2})
    ->Args({858, 572, 0, 1})
    ->Args({858, 572, 0, 2})
    ->Args({4000, 3000, 1, 1})
    ->Args({4000, 3000, 1, 2})
    ->Args({4000, 3000, 0, 1})
    ->Args({4000, 3000, 0, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5);

// ---- vector kernels against a plain copy -------------------------------------------------

std::vector<float> random_vector(int64_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1, 1);
  std::vector<float> v(static_cast<std::size_t>(n));
  for (auto &x : v) x = d(rng);
  return v;
}

void BM_dot(benchmark::State &state) {
  const int64_t n = state.range(0);
  const int workers = static_cast<int>(state.range(1));
  const auto x = random_vector(n, 1), y = random_vector(n, 2);
  float r = 0;
  for (auto _ : state) {
    tm20d(workers, n, x.data(), y.data(), &r);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(state.iterations() * n * 8);
}

void BM_update(benchmark::State &state) {
  const int64_t n = state.range(0);
  const int workers = static_cast<int>(state.range(1));
  auto x = random_vector(n, 1);
  const auto p = random_vector(n, 2);
  for (auto _ : state) {
    tm20a(workers, n, x.data(), 1e-9f, p.data(), x.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * n * 12);
}

void BM_product(benchmark::State &state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const int workers = static_cast<int>(state.range(2));
  const auto in = random_vector(static_cast<int64_t>(w) * h, 3);
  std::vector<float> out(in.size());
  for (auto _ : state) {
    tm20m(workers, w, h, 0, in.data(), out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()) * 8);
}

void BM_copy(benchmark::State &state) {
  const int64_t n = state.range(0);
  const auto x = random_vector(n, 1);
  std::vector<float> y(static_cast<std::size_t>(n));
  for (auto _ : state) {
    std::memcpy(y.data(), x.data(), static_cast<std::size_t>(n) * sizeof(float));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * n * 8);
}

constexpr int64_t kPreview = 858 * 572;
constexpr int64_t kPhoto = 4000 * 3000;
BENCHMARK(BM_dot)
    ->ArgNames({"n", "workers"})
    ->Args({kPreview, 1})
    ->Args({kPreview, 2})
    ->Args({kPhoto, 1})
    ->Args({kPhoto, 2})
    ->UseRealTime();
BENCHMARK(BM_update)
    ->ArgNames({"n", "workers"})
    ->Args({kPreview, 1})
    ->Args({kPreview, 2})
    ->Args({kPhoto, 1})
    ->Args({kPhoto, 2})
    ->UseRealTime();
BENCHMARK(BM_product)
    ->ArgNames({"w", "h", "workers"})
    ->Args({858, 572, 1})
    ->Args({858, 572, 2})
    ->Args({4000, 3000, 1})
    ->Args({4000, 3000, 2})
    ->UseRealTime();
BENCHMARK(BM_copy)->ArgNames({"n"})->Arg(kPreview)->Arg(kPhoto)->UseRealTime();

}  // namespace
