// SPDX-License-Identifier: MIT
// PNG writing of a 12-megapixel tone-mapped picture (the sunset enlarged to 4242 x 2828 and
// finished by the Details Enhancer at defaults) with deflate levels, strategies and row
// filters, into memory: the time per picture and the bytes it gives (counter "bytes"). The
// writer's choice must cost a fraction of tone mapping for at most a few percent more bytes.
#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "details_pipeline.h"
#include "tmlib/details.h"
#include "tmlib/params.h"
#include "tmlib/rgbe.h"
#include "io/rgbe_pixel.h"

namespace {

constexpr int kW = 4242, kH = 2828;

// The sunset enlarged bilinearly channel by channel and tone-mapped: 8-bit RGB.
const std::vector<std::uint8_t> &picture() {
  static const std::vector<std::uint8_t> out = [] {
    int sw = 0, sh = 0;
    std::vector<std::uint8_t> src;
    const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/sunset-pfstools.hdr";
    if (brightloom_test::load_radiance(path.c_str(), sw, sh, src) != 0) std::abort();
    std::vector<float> table(256);
    exp_lut(table.data(), -8);
    std::vector<float> channel(size_t(sw) * sh), rgb[3];
    for (int c = 0; c < 3; ++c) {
      for (int y = 0; y < sh; ++y) {
        const std::uint8_t *row = src.data() + 4 * size_t(sw) * y;
        for (int x = 0; x < sw; ++x) {
          const int e = row[3 * sw + x];
          channel[size_t(y) * sw + x] = e == 0 ? 0.0f : row[c * sw + x] * table[e];
        }
      }
      rgb[c].resize(size_t(kW) * kH);
      tm300(sw, sh, kW, kH, channel.data(), rgb[c].data());
    }
    std::vector<std::uint8_t> big(4 * size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const size_t i = size_t(y) * kW + x;
        const tmlib::RgbePixel e = tmlib::rgbe_encode(rgb[0][i], rgb[1][i], rgb[2][i]);
        std::uint8_t *row = big.data() + 4 * size_t(kW) * y;
        row[x] = e.r;
        row[kW + x] = e.g;
        row[2 * kW + x] = e.b;
        row[3 * kW + x] = e.e;
      }
    std::vector<float> param(20);
    tmparam_default(1, 0, param.data());
    std::vector<std::uint8_t> px;
    if (brightloom_test::run_details_enhancer(kW, kH, big.data(), param.data(), 2, px) <= 0) std::abort();
    return px;
  }();
  return out;
}

void append(png_structp png, png_bytep data, png_size_t n) {
  auto *out = static_cast<std::vector<std::uint8_t> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void no_flush(png_structp) {}

size_t encode(const std::vector<std::uint8_t> &px, int level, int strategy, int filters) {
  std::vector<std::uint8_t> out;
  out.reserve(px.size() / 2);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) std::abort();
  png_set_write_fn(png, &out, append, no_flush);
  png_set_compression_level(png, level);
  png_set_compression_strategy(png, strategy);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_set_IHDR(png, info, kW, kH, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < kH; ++y) png_write_row(png, const_cast<png_bytep>(px.data() + size_t(y) * kW * 3));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out.size();
}

// Arguments: level, strategy (zlib), filter mask (libpng).
void BM_PngDeflate(benchmark::State &state) {
  const auto &px = picture();
  size_t bytes = 0;
  for (auto _ : state) bytes = encode(px, int(state.range(0)), int(state.range(1)), int(state.range(2)));
  state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_PngDeflate)
    ->ArgNames({"level", "strategy", "filters"})
    ->Args({1, Z_RLE, PNG_FILTER_UP})  // the writer's choice
    ->Args({1, Z_HUFFMAN_ONLY, PNG_FILTER_UP})
    ->Args({1, Z_RLE, PNG_FILTER_SUB})
    ->Args({1, Z_RLE, PNG_FILTER_PAETH})
    ->Args({1, Z_RLE, PNG_ALL_FILTERS})
    ->Args({1, Z_DEFAULT_STRATEGY, PNG_FILTER_UP})
    ->Args({1, Z_DEFAULT_STRATEGY, PNG_ALL_FILTERS})
    ->Args({2, Z_DEFAULT_STRATEGY, PNG_FILTER_UP})
    ->Args({3, Z_FILTERED, PNG_FILTER_UP})
    ->Args({6, Z_DEFAULT_STRATEGY, PNG_ALL_FILTERS})  // libpng's defaults
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();

}  // namespace
