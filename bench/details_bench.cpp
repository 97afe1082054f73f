// SPDX-License-Identifier: MIT
// Speed of the whole Details Enhancer: one preview refresh (858 x 572 source, the dialog's
// size type 1 for a 3:2 picture) and a 4000 x 3000 picture, with the time of each stage, the
// CPU time of all threads and the peak resident memory of the method. Set DETAILS_BENCH_HDR_OUT to a path to also write
// the 4000 x 3000 source as a flat Radiance file, for running other tone mappers on the same
// picture.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tmlib/details.h"
#include "tmlib/params.h"
#include "io/rgbe_pixel.h"
#include "tmlib/rgbe.h"

#include "brightloom/pipeline.h"
#include "details_pipeline.h"

namespace {

using brightloom_test::DetailsTimes;

struct Picture {
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgbe;  // scanline-planar
};

const Picture &sunset() {
  static const Picture p = [] {
    Picture s;
    const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/sunset-pfstools.hdr";
    if (brightloom_test::load_radiance(path.c_str(), s.w, s.h, s.rgbe) != 0) std::abort();
    return s;
  }();
  return p;
}

// Enlarges the sunset smoothly (bilinear, channel by channel) so that the large picture keeps
// real gradients instead of point-sampled blocks.
Picture enlarged(int w, int h) {
  const Picture &s = sunset();
  std::vector<float> table(256);
  exp_lut(table.data(), -8);
  std::vector<float> channel(static_cast<size_t>(s.w) * s.h), big(static_cast<size_t>(w) * h);
  std::vector<float> rgb[3];
  for (int c = 0; c < 3; ++c) {
    for (int y = 0; y < s.h; ++y) {
      const std::uint8_t *row = s.rgbe.data() + 4 * static_cast<size_t>(s.w) * y;
      for (int x = 0; x < s.w; ++x) {
        const int e = row[3 * s.w + x];
        channel[static_cast<size_t>(y) * s.w + x] = e == 0 ? 0.0f : row[c * s.w + x] * table[e];
      }
    }
    tm300(s.w, s.h, w, h, channel.data(), big.data());
    rgb[c] = big;
  }
  Picture p;
  p.w = w;
  p.h = h;
  p.rgbe.resize(4 * static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    std::uint8_t *row = p.rgbe.data() + 4 * static_cast<size_t>(w) * y;
    for (int x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      const tmlib::RgbePixel e = tmlib::rgbe_encode(rgb[0][i], rgb[1][i], rgb[2][i]);
      row[x] = e.r;
      row[w + x] = e.g;
      row[2 * w + x] = e.b;
      row[3 * w + x] = e.e;
    }
  }
  return p;
}

// CPU time of every thread of the process, so that the work of the workers is seen too.
double process_cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// A field of /proc/self/status in KiB (VmRSS: resident now, VmHWM: peak resident).
long status_kib(const char *key) {
  std::FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
      value = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

// Restarts the peak-resident count, so that the peak seen afterwards is the method's own and
// not that of building the test picture.
void reset_peak_rss() {
  if (std::FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

void run(benchmark::State &state, const Picture &pic) {
  std::vector<float> param(20);
  tmparam_default(1, 0, param.data());
  const int workers = static_cast<int>(state.range(0));
  std::vector<std::uint8_t> out;
  DetailsTimes sum, t;
  reset_peak_rss();
  const long rssBefore = status_kib("VmRSS");
  const double cpuBefore = process_cpu_ms();
  for (auto _ : state) {
    if (brightloom_test::run_details_enhancer(pic.w, pic.h, pic.rgbe.data(), param.data(), workers, out, nullptr, &t) <=
        0) {
      state.SkipWithError("the Details Enhancer failed");
      return;
    }
    sum.stage1 += t.stage1;
    sum.stage2 += t.stage2;
    sum.stage3 += t.stage3;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["process_cpu_ms"] = (process_cpu_ms() - cpuBefore) / n;
  state.counters["stage1_ms"] = sum.stage1 / n;
  state.counters["stage2_ms"] = sum.stage2 / n;
  state.counters["stage3_ms"] = sum.stage3 / n;
  // Peak resident memory above what was resident before the runs (the source picture): the
  // method's buffers, its output included.
  state.counters["method_peak_MiB"] = static_cast<double>(status_kib("VmHWM") - rssBefore) / 1024.0;
  state.counters["process_peak_MiB"] = static_cast<double>(status_kib("VmHWM")) / 1024.0;
}

void BM_DetailsPreviewRefresh(benchmark::State &state) {
  static const Picture preview = [] {
    Picture p;
    p.w = 858;
    p.h = 572;
    if (brightloom_test::cut_rgbe_preview(sunset().w, sunset().h, sunset().rgbe, p.w, p.h, p.rgbe) != p.h) std::abort();
    return p;
  }();
  run(state, preview);
}
BENCHMARK(BM_DetailsPreviewRefresh)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DetailsStage3Only(benchmark::State &state) {
  // The finishing stage alone on the preview size, from a fixed plane.
  const int w = 858, h = 572;
  static Picture src;
  if (src.rgbe.empty()) {
    src.w = w;
    src.h = h;
    brightloom_test::cut_rgbe_preview(sunset().w, sunset().h, sunset().rgbe, w, h, src.rgbe);
  }
  std::vector<float> param(20), table(256), plane(static_cast<size_t>(w) * h), work;
  tmparam_default(1, 0, param.data());
  exp_lut(table.data(), -8);
  const float lum[7] = {0.2f, 400.0f, 0.001f, -1.6f, -2.5f, 0.5f, 2.0f};
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = 0.1f + static_cast<float>(i % 977) / 977.0f;
  std::vector<std::uint8_t> out(3 * static_cast<size_t>(w) * h);
  DimParam dim;
  init_dim_param(&dim);
  dim.v[0] = w;
  dim.v[1] = h;
  dim.v[5] = dim.v[6] = 3 * w;
  OptimParam opt;
  init_optim_param(&opt);
  opt.v[0] = state.range(0);
  for (auto _ : state) {
    work = plane;
    benchmark::DoNotOptimize(
        calc_tm3(0, dim, param.data(), lum, table.data(), nullptr, opt, src.rgbe.data(), work.data(), out.data()));
  }
}
BENCHMARK(BM_DetailsStage3Only)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Details4000x3000(benchmark::State &state) {
  static const Picture big = [] {
    Picture p = enlarged(4000, 3000);
    if (const char *path = std::getenv("DETAILS_BENCH_HDR_OUT"))
      brightloom::pipeline::write_radiance(path, p.rgbe.data(), p.w, p.h, brightloom::pipeline::RadianceLayout::Flat);
    return p;
  }();
  run(state, big);
}
BENCHMARK(BM_Details4000x3000)->Arg(2)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
