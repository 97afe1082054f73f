// SPDX-License-Identifier: MIT
// The in-memory Radiance reader against merely reading the same file into memory, on
// 4000 x 3000 run-length files with realistic content: a real picture enlarged with bilinear
// interpolation ("photo"), and the same with 0.4 % of noise on every pixel ("noisy"), which
// breaks the enlarged picture's runs into two and a half times as many short packets.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "brightloom/pipeline.h"
#include "io/rgbe_pixel.h"
#include "tmlib/rgbe.h"

namespace tmlib::testing {
extern bool radiance_without_avx2;  // defined by the Radiance readers
}

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

// Source picture: a data image decoded to floats, or a smooth gradient when it is missing.
struct Source {
  int w = 0, h = 0;
  std::vector<float> rgb;
};

Source load_source() {
  Source s;
  const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/sunset-pfstools.hdr";
  float prim[8];
  std::int32_t dims[7] = {};
  if (rgbe_dim2(path.c_str(), prim, dims) >= 0) {
    std::vector<unsigned char> planar(static_cast<std::size_t>(4) * dims[0] * dims[1]);
    if (decomp_rle(path.c_str(), dims, planar.data()) == dims[1]) {
      s.w = dims[0];
      s.h = dims[1];
      s.rgb.resize(static_cast<std::size_t>(3) * s.w * s.h);
      for (int y = 0; y < s.h; ++y) {
        const unsigned char *row = planar.data() + static_cast<std::size_t>(4) * s.w * y;
        for (int x = 0; x < s.w; ++x) {
          for (int c = 0; c < 3; ++c) {
            s.rgb[(static_cast<std::size_t>(y) * s.w + x) * 3 + c] =
                tmlib::rgbe_decode(row[c * s.w + x], row[3 * s.w + x]);
          }
        }
      }
      return s;
    }
  }
  s.w = 256;
  s.h = 192;
  s.rgb.resize(static_cast<std::size_t>(3) * s.w * s.h);
  for (int y = 0; y < s.h; ++y) {
    for (int x = 0; x < s.w; ++x) {
      for (int c = 0; c < 3; ++c) {
        s.rgb[(static_cast<std::size_t>(y) * s.w + x) * 3 + c] =
            std::exp2(8.0f * x / s.w - 4.0f) * (1.0f + 0.3f * c) * (1.0f + y / 400.0f);
      }
    }
  }
  return s;
}

std::string write_picture(float noiseLevel, const char *tag, std::int64_t &packets) {
  const Source src = load_source();
  std::mt19937 rng(2024);
  std::normal_distribution<float> noise(0.0f, noiseLevel > 0.0f ? noiseLevel : 1.0f);
  std::string path = "/tmp/radiance_bench_" + std::to_string(getpid()) + "_" + tag + ".hdr";
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  std::fprintf(f, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", kHeight, kWidth);
  std::vector<unsigned char> row(4 * kWidth);
  std::vector<unsigned char> packed;
  for (int y = 0; y < kHeight; ++y) {
    const float sy = (y + 0.5f) * src.h / kHeight - 0.5f;
    const int y0 = std::max(0, static_cast<int>(std::floor(sy)));
    const int y1 = std::min(src.h - 1, y0 + 1);
    const float fy = std::fmin(1.0f, std::fmax(0.0f, sy - y0));
    for (int x = 0; x < kWidth; ++x) {
      const float sx = (x + 0.5f) * src.w / kWidth - 0.5f;
      const int x0 = std::max(0, static_cast<int>(std::floor(sx)));
      const int x1 = std::min(src.w - 1, x0 + 1);
      const float fx = std::fmin(1.0f, std::fmax(0.0f, sx - x0));
      float c[3];
      for (int k = 0; k < 3; ++k) {
        auto at = [&](int xx, int yy) { return src.rgb[(static_cast<std::size_t>(yy) * src.w + xx) * 3 + k]; };
        const float top = at(x0, y0) + (at(x1, y0) - at(x0, y0)) * fx;
        const float bottom = at(x0, y1) + (at(x1, y1) - at(x0, y1)) * fx;
        c[k] = (top + (bottom - top) * fy) * (noiseLevel > 0.0f ? 1.0f + noise(rng) : 1.0f);
      }
      const tmlib::RgbePixel p = tmlib::rgbe_encode(c[0], c[1], c[2]);
      row[x] = p.r;
      row[kWidth + x] = p.g;
      row[2 * kWidth + x] = p.b;
      row[3 * kWidth + x] = p.e;
    }
    packed.assign({2, 2, static_cast<unsigned char>(kWidth >> 8), static_cast<unsigned char>(kWidth & 255)});
    for (int k = 0; k < 4; ++k)
      packets += brightloom::pipeline::encode_radiance_component(row.data() + k * kWidth, kWidth, packed);
    std::fwrite(packed.data(), 1, packed.size(), f);
  }
  std::fclose(f);
  return path;
}

struct Picture {
  std::int64_t packets = 0;  // before path: write_picture counts into it
  std::string path;
  std::int32_t dims[7] = {};
  Picture(float noiseLevel, const char *tag) : path(write_picture(noiseLevel, tag, packets)) {
    float prim[8];
    if (rgbe_dim2(path.c_str(), prim, dims) < 0) throw std::runtime_error("unreadable " + path);
  }
  ~Picture() { std::remove(path.c_str()); }
};

// state.range(0): 0 the enlarged photograph, 1 the same with noise.
Picture &picture(const benchmark::State &state) {
  if (state.range(0) == 0) {
    static Picture photo(0.0f, "photo");
    return photo;
  }
  static Picture noisy(0.004f, "noisy");
  return noisy;
}

void BM_PlainRead(benchmark::State &state) {
  const Picture &p = picture(state);
  for (auto _ : state) {
    std::FILE *f = std::fopen(p.path.c_str(), "rb");
    std::unique_ptr<unsigned char[]> buf(new unsigned char[static_cast<std::size_t>(p.dims[2])]);
    const std::size_t n = std::fread(buf.get(), 1, static_cast<std::size_t>(p.dims[2]), f);
    std::fclose(f);
    benchmark::DoNotOptimize(buf.get());
    if (n != static_cast<std::size_t>(p.dims[2])) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * p.dims[2]);
  state.counters["Mpixel/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6, benchmark::Counter::kIsRate);
}

template <int (*Reader)(const char *, const std::int32_t *, unsigned char *)>
void BM_Reader(benchmark::State &state) {
  const Picture &p = picture(state);
  std::vector<unsigned char> out(static_cast<std::size_t>(4) * kWidth * kHeight);
  for (auto _ : state) {
    const int rc = Reader(p.path.c_str(), p.dims, out.data());
    benchmark::DoNotOptimize(out.data());
    if (rc != kHeight) state.SkipWithError("reader failed");
  }
  state.SetBytesProcessed(state.iterations() * p.dims[2]);
  state.counters["Mpixel/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kWidth * kHeight / 1e6, benchmark::Counter::kIsRate);
  state.counters["file_MB"] = p.dims[2] / 1e6;
  state.counters["packets/pixel"] = static_cast<double>(p.packets) / (static_cast<double>(kWidth) * kHeight);
}

// The in-memory reader with the run-length decoder of processors without AVX2.
int decomp_rle_blocks(const char *path, const std::int32_t *dims, unsigned char *out) {
  tmlib::testing::radiance_without_avx2 = true;
  const int rc = decomp_rle(path, dims, out);
  tmlib::testing::radiance_without_avx2 = false;
  return rc;
}

BENCHMARK(BM_PlainRead)->ArgName("noisy")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Reader<decomp_rle>)
    ->Name("BM_DecompRle")
    ->ArgName("noisy")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_Reader<decomp_rle_blocks>)
    ->Name("BM_DecompRleBlocks")
    ->ArgName("noisy")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(BM_Reader<decomp2>)
    ->Name("BM_Decomp2")
    ->ArgName("noisy")
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace
