// SPDX-License-Identifier: MIT
// Tone Compressor: a global per-pixel operator. Every channel is compressed as c / (c + D),
// where D is an adaptation level mixing the pixel's own luminance with the image's key
// luminance, raised to an exponent taken from how far the bright end of the log-luminance
// histogram lies from its median. The responses of the darkest and brightest statistic
// luminances are then stretched over the output range, narrowed by the two clip sliders.
#include "tmlib/tone_compressor.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/status.h"
#include "core/tiling.h"
#include "tmlib/colour.h"
#include "compressor/tone_compressor_curve.h"

namespace tmlib {
namespace {

// (int)v != 0 without the undefined conversion of NaN or huge values: sliders that are
// not numbers simply switch their step off.
bool truncates_to_nonzero(float v) { return v >= 1.0f || v <= -1.0f; }

}  // namespace

bool make_curve(const float *param, const float *stats, int bits, ToneCurve &tc) {
  const float minLog = stats[TMLIB_LOGSTAT_MIN];
  const float maxLog = stats[TMLIB_LOGSTAT_MAX];
  const float median = stats[TMLIB_LOGSTAT_MEDIAN];
  const float p995 = stats[TMLIB_LOGSTAT_P995];

  const float brightness = param[TMLIB_TC_BRIGHTNESS];
  const float compression = param[TMLIB_TC_COMPRESSION];
  const float contrast = param[TMLIB_TC_CONTRAST];
  const float colourTemperature = param[TMLIB_TC_COLOR_TEMPERATURE];
  const float saturation = param[TMLIB_TC_SATURATION];

  tc.satFactor = 1.0f + 0.1f * saturation;
  tc.saturationOn = truncates_to_nonzero(saturation);
  tc.colourOn = truncates_to_nonzero(colourTemperature);
  tc.maxOut = (bits == 16) ? 65535.0f : 255.0f;

  // Key: a histogram whose bright end lies far above the median gets a darker key.
  const float spread = p995 - median;
  const float keyLog = (spread > 4.0f) ? 0.5f - 0.5f * spread : -1.5f;
  const float lkey = static_cast<float>(std::exp(static_cast<double>(keyLog)));
  tc.k = static_cast<float>(std::exp(static_cast<double>(keyLog)) / std::exp(static_cast<double>(median)));

  float w;
  if (contrast > 0.0f && compression > 0.0f) {
    const float c = 1.0f + 0.1f * compression;
    w = (10.0f * c + contrast) / (20.0f * c);
  } else {
    w = (contrast + 10.0f) / 20.0f;
  }
  tc.wSelf = w;
  tc.keyPart = (1.0f - w) * lkey;

  // NaN statistics fail here too: a flat, empty or unreadable histogram drives nothing.
  if (!(minLog < maxLog)) return false;
  const float lnk = static_cast<float>(std::log(static_cast<double>(tc.k)));
  const float minS = minLog + lnk;
  const float maxS = maxLog + lnk;
  const float medianS = median + lnk;
  const float p995S = p995 + lnk;

  // Only the power is taken in double; the rest of the exponent stays single precision.
  const float spreadPower = static_cast<float>(std::pow(static_cast<double>((p995S - medianS) / (maxS - minS)), 1.4));
  const float e0 = 0.3f + 0.6f * spreadPower;
  float e = e0;
  if (compression < 0.0f) {
    e = ((compression + 10.0f) / 10.0f) * (e0 - 0.01f) + 0.01f;
  } else if (compression > 0.0f) {
    e = 0.9f - ((10.0f - compression) / 10.0f) * (0.9f - e0);
  }
  tc.exponent = static_cast<double>(e);

  float g;
  if (brightness > 0.0f) {
    g = 0.4f - 0.01f * brightness;
  } else if (brightness > -6.0f) {
    g = 0.5f;
  } else {
    g = 0.5f + 0.1f * (-6.0f - brightness);
  }
  tc.bf = static_cast<float>(std::exp(static_cast<double>(-brightness * g)));

  if (tc.colourOn) {
    // Kelvin in single precision like every slider product (in double, 6500 - 200 * 1.1f lies
    // just below 6280 and loses a kelvin), truncated toward zero, saturated so that absurd
    // slider values stay defined.
    const float kelvinExact = 6500.0f - 200.0f * colourTemperature;
    const int kelvin = kelvinExact >= 2147483648.0f   ? INT_MAX
                       : kelvinExact < -2147483648.0f ? INT_MIN
                                                      : static_cast<int>(kelvinExact);
    // Starts at the D65 white so that a temperature off the locus leaves colours alone.
    float xyz[3] = {0.950456f, 1.0f, 1.088754f};
    tc.kelvin = kelvin;
    kelvin2XYZ(kelvin, xyz);
    const float s[3] = {xyz[0] / 0.950456f, 1.0f, xyz[2] / 1.088754f};
    float as[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) as[i][j] = xyz2rgb_sRGB[i][j] * s[j];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        tc.mt[i][j] = as[i][0] * rgb2xyz_sRGB[0][j] + as[i][1] * rgb2xyz_sRGB[1][j] + as[i][2] * rgb2xyz_sRGB[2][j];
  }

  // Output range: the responses of the statistics' extremes, narrowed by the clips.
  const float lMax = static_cast<float>(std::exp(static_cast<double>(maxS)));
  const float lMin = static_cast<float>(std::exp(static_cast<double>(minS)));
  const float vmax = tc.response(lMax, tc.adaptation(lMax));
  const float vmin = tc.response(lMin, tc.adaptation(lMin));
  const float hi = vmax - 0.04f * param[TMLIB_TC_WHITE_CLIP] * (vmax - vmin);
  tc.lo = vmin + 0.06f * param[TMLIB_TC_BLACK_CLIP] * (vmax - vmin);
  tc.scale = tc.maxOut / (hi - tc.lo);
  return true;
}

namespace {

// Clamps to 0 .. maxOut (NaN to 0) and truncates toward zero.
template <typename Sample>
Sample to_sample(float v, float maxOut) {
  const float c = v > 0.0f ? (v < maxOut ? v : maxOut) : 0.0f;
  return static_cast<Sample>(c);
}

template <typename Sample>
void put_sample(unsigned char *pixel, int index, Sample value) {
  std::memcpy(pixel + static_cast<std::ptrdiff_t>(index) * sizeof(Sample), &value, sizeof(Sample));
}

struct Layout {
  int width;
  int rows;
  int spp;
  std::int64_t stride;   // destination row length in samples
  int red, green, blue;  // sample positions of the three channels
};

template <typename Sample>
void map_rows(const ToneCurve &tc, const Layout &lay, const float *table, const unsigned char *src,
              unsigned char *dst) {
  const std::int64_t w = lay.width;
  const float maxOut = tc.maxOut;
  const float k = tc.k;
  for (int y = 0; y < lay.rows; ++y) {
    const unsigned char *rowR = src + 4 * w * y;
    const unsigned char *rowG = rowR + w;
    const unsigned char *rowB = rowG + w;
    const unsigned char *rowE = rowB + w;
    unsigned char *out = dst + static_cast<std::int64_t>(sizeof(Sample)) * lay.stride * y;
    for (std::int64_t x = 0; x < w; ++x, out += sizeof(Sample) * lay.spp) {
      const unsigned e = rowE[x];
      if (e == 0) {
        put_sample<Sample>(out, lay.red, 0);
        put_sample<Sample>(out, lay.green, 0);
        put_sample<Sample>(out, lay.blue, 0);
        continue;
      }
      float r = rowR[x];
      float g = rowG[x];
      float b = rowB[x];
      const float lum = 0.2126f * r + 0.7152f * g + 0.0722f * b;
      if (tc.colourOn) {
        const float r0 = r, g0 = g, b0 = b;
        r = tc.mt[0][0] * r0 + tc.mt[0][1] * g0 + tc.mt[0][2] * b0;
        g = tc.mt[1][0] * r0 + tc.mt[1][1] * g0 + tc.mt[1][2] * b0;
        b = tc.mt[2][0] * r0 + tc.mt[2][1] * g0 + tc.mt[2][2] * b0;
      }
      const float f = k * table[e];
      const float d = tc.adaptation(lum * f);
      float rgb[3] = {(tc.response(r * f, d) - tc.lo) * tc.scale, (tc.response(g * f, d) - tc.lo) * tc.scale,
                      (tc.response(b * f, d) - tc.lo) * tc.scale};
      if (tc.saturationOn) {
        float hsl[3];
        rgb2hsl(maxOut, rgb, hsl);
        const float s = hsl[1] * tc.satFactor;
        hsl[1] = s < 1.0f ? s : 1.0f;
        hsl2rgb(maxOut, hsl, rgb);
      }
      put_sample<Sample>(out, lay.red, to_sample<Sample>(rgb[0], maxOut));
      put_sample<Sample>(out, lay.green, to_sample<Sample>(rgb[1], maxOut));
      put_sample<Sample>(out, lay.blue, to_sample<Sample>(rgb[2], maxOut));
    }
  }
}

// Code for arguments the operator cannot map, or kOk. Checked before anything is written.
int check_arguments(int width, int height, int spp, int bits, std::int64_t stride, const float *param,
                    const float *stats, const float *table, const void *src, const void *dst) {
  if (stats == nullptr || !(stats[TMLIB_LOGSTAT_MIN] < stats[TMLIB_LOGSTAT_MAX])) return kErrOpen;
  if (bits != 8 && bits != 16) return kOk;
  if (param == nullptr || table == nullptr || src == nullptr || dst == nullptr) return kOk;
  if (width < 0 || height < 0 || spp < 1) return kOk;
  // A row shorter than its pixels would make rows overlap or run backwards.
  if (stride < static_cast<std::int64_t>(spp) * width) return kOk;
  return 1;
}

// The per-worker record: the kernel's arguments, the worker's place in the split and its
// result, written by the worker and read after the join.
struct TmSimpleTask {
  std::int32_t dim[8];
  const float *param;
  const float *stats;
  const float *table;
  const unsigned char *src;
  void *dst;
  int index;
  int count;
  int result;
};

void tm_simple_threaded(TmSimpleTask *task) {
  const RowBand band = pointwise_band(task->dim[1], task->count, task->index);
  if (band.rows <= 0) {
    task->result = 0;
    return;
  }
  const std::int64_t y0 = band.start;
  const std::int64_t srcOffset = y0 * task->dim[0] * 4;
  const std::int64_t dstOffset = y0 * task->dim[6] * (task->dim[4] / 8);
  task->result = tm_simple_orig(task->dim[0], band.rows, task->dim[2], task->dim[3], task->dim[4], task->dim[5],
                                task->dim[6], task->dim[7], task->param, task->stats, task->table,
                                task->src + srcOffset, static_cast<unsigned char *>(task->dst) + dstOffset);
}

}  // namespace
}  // namespace tmlib

extern "C" {

int tm_simple_orig(int d0, int d1, int d2, int d3, int d4, int d5, int d6, int d7, const float *param,
                   const float *stats, const float *table, const unsigned char *src, void *dst) {
  (void)d3;
  (void)d5;
  using namespace tmlib;
  const int width = d0;
  const int height = d1;
  const int spp = d2;
  const int bits = d4;
  const int check = check_arguments(width, height, spp, bits, d6, param, stats, table, src, dst);
  if (check <= 0) return check;
  ToneCurve tc;
  if (!make_curve(param, stats, bits, tc)) return kErrOpen;
  // Channel order flag: red and blue swap ends; green always sits in the middle.
  const int last = spp - 1;
  const Layout lay{width, height, spp, d6, d7 == 0 ? 0 : last, last / 2, d7 == 0 ? last : 0};
  auto *out = static_cast<unsigned char *>(dst);
  if (bits == 16) {
    map_rows<std::uint16_t>(tc, lay, table, src, out);
  } else {
    map_rows<std::uint8_t>(tc, lay, table, src, out);
  }
  return height;
}

int tm_simple(DimParam dim, const float *param, const float *stats, const float *table, OptimParam opt,
              const unsigned char *src, void *dst) {
  using namespace tmlib;
  const int workers = clamp_workers(opt.v[TMLIB_OPT_WORKERS]);
  const auto whole = [&] {
    return tm_simple_orig(dim.v[TMLIB_DIM_WIDTH], dim.v[TMLIB_DIM_HEIGHT], dim.v[TMLIB_DIM_SPP], dim.v[TMLIB_DIM_DEPTH],
                          dim.v[TMLIB_DIM_OUT_BITS], dim.v[TMLIB_DIM_SRC_STRIDE], dim.v[TMLIB_DIM_OUT_STRIDE],
                          dim.v[TMLIB_DIM_CHANNEL_ORDER], param, stats, table, src, dst);
  };
  // Arguments the kernel refuses are refused once, before any band offset is formed.
  if (workers < 2 ||
      check_arguments(dim.v[TMLIB_DIM_WIDTH], dim.v[TMLIB_DIM_HEIGHT], dim.v[TMLIB_DIM_SPP], dim.v[TMLIB_DIM_OUT_BITS],
                      dim.v[TMLIB_DIM_OUT_STRIDE], param, stats, table, src, dst) <= 0) {
    return whole();
  }
  TmSimpleTask tasks[kMaxWorkers];
  for (int k = 0; k < workers; ++k) {
    TmSimpleTask &t = tasks[k];
    std::memcpy(t.dim, dim.v, sizeof t.dim);
    t.param = param;
    t.stats = stats;
    t.table = table;
    t.src = src;
    t.dst = dst;
    t.index = k;
    t.count = workers;
    t.result = 0;
  }
  // When a thread cannot be created, the bands already started are joined and the whole
  // image is mapped on the calling thread, so the caller never gets a half-written picture;
  // the call still reports the failed creation, as its callers expect.
  const RunMode mode = run_workers(
      workers, [&](int k) { tm_simple_threaded(&tasks[k]); }, [&] { whole(); });
  if (mode == RunMode::kFellBack) return kErrShortIo;
  return tasks[workers - 1].result;
}

}  // extern "C"
