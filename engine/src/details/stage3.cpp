// SPDX-License-Identifier: MIT
// Details Enhancer, finishing stage: the compressed luminance plane of stage 2 becomes 8- or
// 16-bit colour. The plane is normalised once between clip points of its own histogram
// (tm30); then every pixel (tm31) blends the plane with a global logarithmic curve, darkens
// the deepest shadows, applies the gamma, carries the source colour over with a
// luminance-dependent saturation, optionally moves the colour temperature, and pulls
// highlights or shadows towards a plain rendering of the source. calc_tm3 runs tm31 over
// horizontal bands, one worker per band. tm300, the bilinear plane resampler the host uses,
// lives here too.
#include "core/checked_size.h"
#include "core/scratch_file.h"
#include "details/stage3.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "io/rgbe_pixel.h"
#include "core/status.h"
#include "core/tiling.h"
#include "tmlib/colour.h"

namespace tmlib {
namespace {

// Arguments that do not describe a usable image (sizes, strides, missing buffers, unknown
// source kinds) share the "inconsistent dimensions" code.
constexpr int kErrArgs = kErrDims;
constexpr int kHistoBins = 65536;
// Below this many pixels the normalisation is not worth a round of the workers.
constexpr std::int64_t kNormaliseThreadedMinCells = 1200;

enum SourceKind : int { kKindRgbe = 0, kKind16 = 1, kKind8 = 2, kKindFloat = 10 };

// A clip percentage outside 0..10 (NaN included) is replaced by the slider's default.
float clip_percent(float v, float fallback) { return (v >= 0.0f && v <= 10.0f) ? v : fallback; }

// Truncation toward zero that stays defined for any float a settings file may carry: NaN
// becomes 0 and values beyond the int range saturate.
int truncate_to_int(float v) {
  if (!(v == v)) return 0;
  if (v >= 2147483520.0f) return std::numeric_limits<int>::max();
  if (v <= -2147483648.0f) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

float load_float(const unsigned char *base, std::int64_t i) {
  float v;
  std::memcpy(&v, base + 4 * i, sizeof v);
  return v;
}
void store_float(unsigned char *base, std::int64_t i, float v) { std::memcpy(base + 4 * i, &v, sizeof v); }

std::uint16_t load_u16(const unsigned char *p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Everything tm31 derives from the parameters, computed once per call outside the pixel loop.
struct FinishConstants {
  int kind = 0;
  float outGamma = 1.0f;
  float wG = 0.0f;           // weight of the global curve in the base luminance
  float gammaD = 0.45f;      // exponent of the global curve
  bool globalCurve = false;  // wG > 0 or shadows clipping on
  bool shadowClip = false;
  float clipUpper = 0.0f, clipLower = 0.0f;
  SmoothStep clipStep;
  float satBase = 0.0f;
  bool satHighlights = false, satShadows = false;
  float logMed = 0.0f, logLo = 0.0f, logHi = 0.0f;
  float satHi = 0.0f, satSh = 0.0f;
  SmoothStep satHiStep, satShStep;
  float avg = 1.0f, invMax = 1.0f, dragoScale = 1.0f;
  float table2[256] = {};
  bool smoothing = false;
  float highlightsSmoothing = 0.0f, shadowsSmoothing = 0.0f;
  float smoothScale = 1.0f, smoothGamma = 1.0f;
  int k = 0;
  float smoothSat = 1.0f;
  bool temperature = false;
  float sx = 1.0f, sz = 1.0f;
  float maxOut = 255.0f;
};

void compute_constants(int kind, const DimParam &dim, const float *param, const float *lumParam, const float *table,
                       FinishConstants &k) {
  k.kind = kind;
  const bool rgbe = kind == kKindRgbe;

  float gamma = static_cast<float>(std::pow(2.0, (50.0f - param[TMLIB_DE_GAMMA]) / 50.0f));
  if (gamma >= 2.01f || gamma <= 0.24f || !(gamma == gamma)) gamma = 1.0f;
  // An RGBE source is linear; the 2.2 puts the preview of a float document into display space.
  k.outGamma = rgbe ? 2.2f * gamma : gamma;

  float s = param[TMLIB_DE_STRENGTH];
  if (!(s >= 1.0f)) s = 1.0f;
  if (kind == kKind16 || kind == kKind8) {
    k.wG = s > 40.0f ? (129.4f - s) * 0.0051f : (100.0f - s) * 0.0076f;
  } else if (kind == kKindRgbe || kind == kKindFloat) {
    k.wG = (100.0f - s) * 0.009f;
  } else {
    k.wG = 0.0f;
  }
  const float colorSat = param[TMLIB_DE_COLOR_SATURATION];
  k.gammaD = colorSat > 50.0f ? 0.35f + 0.011f * (colorSat - 50.0f) : 0.45f;

  const float logMin = std::log(lumParam[2]);
  const float logMax = std::log(lumParam[1] * lumParam[0]);
  k.logMed = lumParam[3];
  k.logLo = lumParam[4];
  k.logHi = lumParam[5];

  const float shadowsClipping = param[TMLIB_DE_SHADOWS_CLIPPING];
  k.shadowClip = shadowsClipping > 0.0f;
  k.globalCurve = k.wG > 0.0f || k.shadowClip;
  k.clipUpper = logMin + shadowsClipping * 0.01f * (k.logMed - logMin);
  k.clipLower = k.clipUpper - 0.4f * (logMax - k.logMed);
  k.clipStep = make_smooth_step(k.clipLower, 1.0f, k.clipUpper, 0.0f);

  k.satBase = colorSat / 100.0f;
  const float satHighlights = param[TMLIB_DE_SATURATION_HIGHLIGHTS];
  const float satShadows = param[TMLIB_DE_SATURATION_SHADOWS];
  k.satHighlights = satHighlights != 0.0f;
  k.satShadows = satShadows != 0.0f;
  k.satHi = satHighlights > 0.0f ? (satHighlights / 10.0f) * (1.0f - k.satBase) : k.satBase * (satHighlights / 10.0f);
  k.satSh = satShadows > 0.0f ? (satShadows / 10.0f) * (1.0f - k.satBase) : k.satBase * (satShadows / 10.0f);
  k.satHiStep = make_smooth_step(k.logMed, 0.0f, k.logHi, k.satHi);
  k.satShStep = make_smooth_step(k.logLo, k.satSh, k.logMed, 0.0f);

  k.avg = lumParam[0] > 0.0f ? lumParam[0] : 1.0f;
  if (rgbe) {
    for (int i = 0; i < 256; ++i) k.table2[i] = table[i] / k.avg;
  }
  if (lumParam[1] > 0.0f) {
    k.invMax = 1.0f / lumParam[1];
    k.dragoScale = static_cast<float>(std::log(10.0) / std::log(static_cast<double>(lumParam[1]) + 1.0));
  }

  k.highlightsSmoothing = param[TMLIB_DE_HIGHLIGHTS_SMOOTHING];
  k.shadowsSmoothing = param[TMLIB_DE_SHADOWS_SMOOTHING];
  k.smoothing = k.highlightsSmoothing > 0.0f || k.shadowsSmoothing > 0.0f;
  if (k.highlightsSmoothing > 0.0f) {
    const float whiteClip = clip_percent(param[TMLIB_DE_WHITE_CLIP], 0.25f);
    k.smoothScale = ((100.0f - (whiteClip + 0.001f)) / 100.0f) / static_cast<float>(std::exp(lumParam[6]));
  }
  k.smoothGamma = rgbe ? 1.0f : 0.45f;
  k.k = (colorSat < 40.0f || colorSat > 50.0f) ? truncate_to_int((colorSat - 50.0f) / 5.0f) : 0;
  k.smoothSat = 1.0f + 0.1f * static_cast<float>(k.k);

  const float colorTemperature = param[TMLIB_DE_COLOR_TEMPERATURE];
  k.temperature = colorTemperature != 0.0f;
  if (k.temperature) {
    const int kelvin = truncate_to_int(6500.0f - 260.0f * colorTemperature);
    // Pre-set to D65 so that a temperature without a white point leaves the colour alone.
    float xyz[3] = {0.950456f, 1.0f, 1.088754f};
    kelvin2XYZ(kelvin, xyz);
    k.sx = xyz[0] / 0.950456f;
    k.sz = xyz[2] / 1.088754f;
  }
  k.maxOut = dim.v[TMLIB_DIM_OUT_BITS] == 16 ? 65535.0f : 255.0f;
}

// Scaled, clamped and truncated; NaN (a source the operator cannot render) stores 0.
inline unsigned to_sample(float v, float maxOut) {
  const float x = v * maxOut;
  if (!(x > 0.0f)) return 0;
  if (x >= maxOut) return static_cast<unsigned>(maxOut);
  return static_cast<unsigned>(x);
}

struct OutLayout {
  int red, green, blue;  // sample positions within a pixel
  int spp;
  int bytes;  // 1 or 2 per sample
  float maxOut;
};

inline void store_sample(unsigned char *pixel, const OutLayout &o, int pos, float v) {
  const unsigned s = to_sample(v, o.maxOut);
  if (o.bytes == 2) {
    const std::uint16_t w = static_cast<std::uint16_t>(s);
    std::memcpy(pixel + 2 * pos, &w, 2);
  } else {
    pixel[pos] = static_cast<unsigned char>(s);
  }
}

inline void store_black(unsigned char *pixel, const OutLayout &o) {
  store_sample(pixel, o, o.red, 0.0f);
  store_sample(pixel, o, o.green, 0.0f);
  store_sample(pixel, o, o.blue, 0.0f);
}

// One pixel, steps 2 to 11. tableE is the exponent factor of an RGBE pixel (1 otherwise),
// table2E the same relative to the average luminance.
void finish_pixel(const FinishConstants &k, float r, float g, float b, float tableE, float table2E, float planeValue,
                  unsigned char *pixel, const OutLayout &o) {
  const bool rgbe = k.kind == kKindRgbe;
  const float lum = 0.2126f * r + 0.7152f * g + 0.0722f * b;
  // Steps 3 and 4 have no effect on a pixel without luminance: it is black whatever comes.
  if (!(lum > 0.0f)) {
    store_black(pixel, o);
    return;
  }
  const float logY = rgbe ? std::log(lum * tableE) : std::log(lum);

  float xt = 0.0f, zt = 0.0f;
  if (k.temperature) {
    xt = k.sx * (0.4124f * r + 0.3576f * g + 0.1805f * b);
    zt = k.sz * (0.0193f * r + 0.1192f * g + 0.9505f * b);
  }

  float m = planeValue;
  if (k.globalCurve) {
    const float y = rgbe ? lum * table2E : lum / k.avg;
    const float curve =
        std::pow(k.dragoScale * std::log(y + 1.0f) / std::log(8.0f * std::pow(y * k.invMax, 0.23f) + 2.0f), k.gammaD);
    m = k.wG * curve + (1.0f - k.wG) * planeValue;
    if (k.shadowClip && logY < k.clipUpper) {
      float w = 1.0f;
      if (!(logY < k.clipLower)) {
        w = k.clipStep(logY);
        w = w < 0.0f ? 0.0f : (w > 1.0f ? 1.0f : w);
      }
      m = (1.0f - w) * m + 0.02f * w;
    }
  }

  const float L = std::pow(m, k.outGamma);

  if (k.temperature) {
    const float x = xt, z = zt;
    r = xyz2rgb_sRGB[0][0] * x + xyz2rgb_sRGB[0][1] * lum + xyz2rgb_sRGB[0][2] * z;
    g = xyz2rgb_sRGB[1][0] * x + xyz2rgb_sRGB[1][1] * lum + xyz2rgb_sRGB[1][2] * z;
    b = xyz2rgb_sRGB[2][0] * x + xyz2rgb_sRGB[2][1] * lum + xyz2rgb_sRGB[2][2] * z;
    if (r < 0.0f) r = 0.0f;
    if (g < 0.0f) g = 0.0f;
    if (b < 0.0f) b = 0.0f;
  }

  float adj = 0.0f;
  if (logY >= k.logMed) {
    if (k.satHighlights) adj = logY >= k.logHi ? k.satHi : k.satHiStep(logY);
  } else if (k.satShadows) {
    adj = logY <= k.logLo ? k.satSh : k.satShStep(logY);
  }
  float s = k.satBase + adj;
  s = s < 0.0f ? 0.0f : (s > 1.0f ? 1.0f : s);
  if (rgbe) s = s * 2.2f;

  // Equal channels give equal powers; neutral pixels are common enough to spare the calls.
  const float pr = std::pow(r / lum, s);
  const float pg = g == r ? pr : std::pow(g / lum, s);
  const float pb = b == r ? pr : (b == g ? pg : std::pow(b / lum, s));
  float out[3] = {L * pr, L * pg, L * pb};

  if (k.smoothing) {
    const float f = rgbe ? k.smoothScale * tableE : k.smoothScale;
    float h[3] = {std::pow(r * f, k.smoothGamma), std::pow(g * f, k.smoothGamma), std::pow(b * f, k.smoothGamma)};
    const float lumH = 0.2f * h[0] + 0.7f * h[1] + 0.1f * h[2];
    float t = -1.0f;
    if (k.highlightsSmoothing > 0.0f && lumH > L) {
      t = k.highlightsSmoothing / 100.0f;
    } else if (k.shadowsSmoothing > 0.0f && lumH < L) {
      t = k.shadowsSmoothing / 200.0f;
    }
    if (t >= 0.0f) {
      if (k.k != 0) {
        float hsl[3];
        rgb_to_hsl(h, hsl);
        hsl[1] = hsl[1] * k.smoothSat;
        if (hsl[1] > 1.0f) hsl[1] = 1.0f;
        hsl_to_rgb(hsl, h);
      }
      for (int c = 0; c < 3; ++c) out[c] = (1.0f - t) * out[c] + t * h[c];
    }
  }

  store_sample(pixel, o, o.red, out[0]);
  store_sample(pixel, o, o.green, out[1]);
  store_sample(pixel, o, o.blue, out[2]);
}

// One row of a scanline-planar RGBE source (W red, W green, W blue, W exponent bytes).
void finish_rgbe_row(const FinishConstants &k, const float *table, const unsigned char *row, int width,
                     const unsigned char *planeRow, unsigned char *dstRow, const OutLayout &o) {
  const unsigned char *red = row;
  const unsigned char *green = row + width;
  const unsigned char *blue = row + 2 * static_cast<std::int64_t>(width);
  const unsigned char *expo = row + 3 * static_cast<std::int64_t>(width);
  const std::int64_t step = static_cast<std::int64_t>(o.spp) * o.bytes;
  for (int x = 0; x < width; ++x) {
    unsigned char *pixel = dstRow + step * x;
    const int e = expo[x];
    if (e == 0) {
      store_black(pixel, o);
      continue;
    }
    // The plane value is read before the pixel is stored: in disk mode the two share memory.
    const float p = load_float(planeRow, x);
    finish_pixel(k, red[x], green[x], blue[x], table[e], k.table2[e], p, pixel, o);
  }
}

OutLayout out_layout(const DimParam &dim) {
  OutLayout o;
  o.spp = dim.v[TMLIB_DIM_SPP];
  const bool swapped = dim.v[TMLIB_DIM_CHANNEL_ORDER] != 0;
  o.red = swapped ? o.spp - 1 : 0;
  o.blue = swapped ? 0 : o.spp - 1;
  o.green = (o.spp - 1) / 2;
  o.bytes = dim.v[TMLIB_DIM_OUT_BITS] == 16 ? 2 : 1;
  o.maxOut = dim.v[TMLIB_DIM_OUT_BITS] == 16 ? 65535.0f : 255.0f;
  return o;
}

// Disk mode: the RGBE source comes one row at a time from the temporary file and the plane
// lies in the tail of the 16-bit-sized destination buffer.
int finish_from_disk(const FinishConstants &k, DimParam dim, const float *param, const float *table, OptimParam opt,
                     void *dst, int width, int height) {
  const char *path = reinterpret_cast<const char *>(opt.v[TMLIB_OPT_SOURCE_FILE]);
  if (path == nullptr) return kErrOpen;
  scratch::File owned = scratch::open(path, "rb");
  std::FILE *file = owned.get();
  if (file == nullptr) return kErrOpen;

  const std::int64_t rowBytes = 4 * static_cast<std::int64_t>(width);
  // The temporary file holds exactly the image's raw rows. A longer file is something else
  // (a Radiance picture passed by mistake): refuse it rather than read its header as pixels
  // and delete it at the end.
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long size = std::ftell(file);
    if (size >= 0 && static_cast<std::int64_t>(size) > rowBytes * height) return kErrArgs;
    if (std::fseek(file, 0, SEEK_SET) != 0) return kErrOpen;
  } else {
    return kErrOpen;
  }

  auto row = try_new<unsigned char>(rowBytes);
  if (!row) return kErrNoMemory;

  auto *bytes = static_cast<unsigned char *>(dst);
  const std::int64_t dstStride = dim.v[TMLIB_DIM_OUT_STRIDE];
  const std::int64_t planeOffset = static_cast<std::int64_t>(height) * (dstStride - 2 * width) * 2;
  unsigned char *plane = bytes + planeOffset;
  const int normalised = tm30(width, height, dim, param, reinterpret_cast<float *>(plane));
  if (normalised < 0) return normalised;

  const OutLayout o = out_layout(dim);
  for (int y = 0; y < height; ++y) {
    if (std::fread(row.get(), 1, static_cast<std::size_t>(rowBytes), file) != static_cast<std::size_t>(rowBytes)) {
      std::printf("tm3 could not read from input file at %d\n", y);
      return kErrShortIo;
    }
    finish_rgbe_row(k, table, row.get(), width, plane + 4 * static_cast<std::int64_t>(width) * y,
                    bytes + dstStride * o.bytes * y, o);
  }
  owned.reset();
  std::remove(path);
  return height;
}

int calc_tm3_checked(int kind, DimParam dim, const float *param, const float *lumParam, const float *table,
                     const float *curve, OptimParam opt, const void *src, float *plane, void *dst) {
  const int width = dim.v[TMLIB_DIM_WIDTH], height = dim.v[TMLIB_DIM_HEIGHT], spp = dim.v[TMLIB_DIM_SPP];
  const bool fromDisk = opt.v[TMLIB_OPT_READ_FROM_DISK] > 0;
  if (width <= 0 || height <= 0 || spp <= 0 || spp > 64) return kErrArgs;
  if (dim.v[TMLIB_DIM_OUT_BITS] != 8 && dim.v[TMLIB_DIM_OUT_BITS] != 16) return kErrArgs;
  if (kind != kKindRgbe && kind != kKind16 && kind != kKind8 && kind != kKindFloat) return kErrArgs;
  if (param == nullptr || lumParam == nullptr || dst == nullptr) return kErrArgs;
  if (kind == kKindRgbe && table == nullptr) return kErrArgs;
  if ((kind == kKind16 || kind == kKind8) && curve == nullptr) return kErrArgs;

  const std::int64_t packed = static_cast<std::int64_t>(spp) * width;
  const std::int64_t dstStride = dim.v[TMLIB_DIM_OUT_STRIDE];
  std::int64_t extent = 0;
  if (dstStride < packed || !checked_product(dstStride * 2, height, extent)) return kErrArgs;

  if (fromDisk) {
    if (kind != kKindRgbe) return kErrOpen;
    // The plane must start inside the destination, and the rows written ahead of it must
    // never reach plane values not yet read.
    if (dstStride < 2 * static_cast<std::int64_t>(width)) return kErrArgs;
    if (!checked_product(4 * static_cast<std::int64_t>(width), height, extent)) return kErrNoMemory;
    return tm31(kind, dim, param, lumParam, table, curve, opt, nullptr, nullptr, dst, width, height);
  }

  if (src == nullptr || plane == nullptr) return kErrArgs;
  if (kind != kKindRgbe) {
    if (dim.v[TMLIB_DIM_SRC_STRIDE] < packed ||
        !checked_product(static_cast<std::int64_t>(dim.v[TMLIB_DIM_SRC_STRIDE]) * 4, height, extent))
      return kErrArgs;
  }
  if (!checked_product(static_cast<std::int64_t>(width) * 4, height, extent)) return kErrArgs;

  const int workers = opt.v[TMLIB_OPT_READ_FROM_DISK] < 0 ? 0 : clamp_workers(opt.v[TMLIB_OPT_WORKERS]);
  // A worker of the normalisation that could not be started had its band done here; the call
  // still reports it, as it does for the finish's workers.
  bool normalisationFellBack = false;
  const int normalised = normalise_plane(workers, width, height, param, plane, &normalisationFellBack);
  if (normalised < 0) return normalised;

  if (workers < 2) return tm31(kind, dim, param, lumParam, table, curve, opt, src, plane, dst, width, height);
  if (normalisationFellBack) {
    const int whole = tm31(kind, dim, param, lumParam, table, curve, opt, src, plane, dst, width, height);
    return whole < 0 ? whole : kErrShortIo;
  }

  Tm3Task tasks[kMaxWorkers];
  for (int i = 0; i < workers; ++i) {
    tasks[i] = Tm3Task{kind, dim, param, lumParam, table, curve, opt, src, plane, dst, i, workers, 0};
  }
  int whole = 0;
  const RunMode mode = run_workers(
      workers, [&](int i) { tm3_threaded(&tasks[i]); },
      [&] { whole = tm31(kind, dim, param, lumParam, table, curve, opt, src, plane, dst, width, height); });
  // A thread that could not be created is still a failure of the call, but the calling
  // thread has finished the picture, so no band is left half written.
  if (mode == RunMode::kFellBack) return whole < 0 ? whole : kErrShortIo;
  if (mode != RunMode::kThreaded) return whole;
  for (int i = 0; i < workers; ++i) {
    if (tasks[i].result < 0) return tasks[i].result;
  }
  return tasks[workers - 1].result;
}

}  // namespace

SmoothStep make_smooth_step(float p, float from, float q, float to) {
  SmoothStep s;
  s.mid = (p + q) / 2.0f;
  const float midValue = (from + to) / 2.0f;
  coeffPoly3(p, from, &s.low.a, &s.low.b, &s.low.c, &s.low.d, s.mid, midValue);
  coeffPoly3(q, to, &s.high.a, &s.high.b, &s.high.c, &s.high.d, s.mid, midValue);
  return s;
}

int tm30(int width, int height, DimParam /*dim*/, const float *param, float *plane) {
  return normalise_plane(0, width, height, param, plane, nullptr);
}

int normalise_plane(int workers, int width, int height, const float *param, float *plane, bool *fellBack) {
  const std::int64_t n = static_cast<std::int64_t>(width) * height;
  auto *bytes = reinterpret_cast<unsigned char *>(plane);
  const float whiteClip = clip_percent(param[TMLIB_DE_WHITE_CLIP], 0.25f);
  const float blackClip = clip_percent(param[TMLIB_DE_BLACK_CLIP], 0.0f);
  // Bands of pixels, each pass's bands on the workers; a band whose worker cannot be started
  // is done on the calling thread, so every band is done once and by the same code.
  const int bands = (workers > 1 && n > kNormaliseThreadedMinCells) ? std::min(workers, kMaxWorkers) : 1;
  auto each_band = [&](auto &&body) {
    const RunMode mode = run_workers_finishing_inline(bands, [&](int k) {
      const Chunk c = vector_chunk(n, bands, k);
      body(k, c.start, c.start + c.count);
    });
    if (mode == RunMode::kFellBack && fellBack != nullptr) *fellBack = true;
  };

  // The first minimum and maximum in pixel order (as one pass would find them): each band's
  // own, then the bands' in band order with the same strict comparisons.
  float bandMin[kMaxWorkers], bandMax[kMaxWorkers];
  each_band([&](int k, std::int64_t from, std::int64_t to) {
    float lo = 1e9f, hi = -1e9f;
    for (std::int64_t i = from; i < to; ++i) {
      const float v = load_float(bytes, i);
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
    bandMin[k] = lo;
    bandMax[k] = hi;
  });
  float mn = 1e9f, mx = -1e9f;
  for (int k = 0; k < bands; ++k) {
    if (bandMin[k] < mn) mn = bandMin[k];
    if (bandMax[k] > mx) mx = bandMax[k];
  }
  if (mn < 0.0f) return kErrPlaneMin;
  if (mx < 0.0f) return kErrPlaneMax;

  float scale;
  if (mx > mn) {
    scale = 65535.0f / (mx - mn);
  } else {
    if (mx < 1e-30f) mx = 1e-4f;
    scale = 32767.5f / mx;
    mn = 0.0f;
  }

  // One histogram a band, added together: counts do not depend on the order.
  auto histos = try_new<std::int64_t>(static_cast<std::size_t>(kHistoBins) * bands, true);
  if (!histos) return kErrNoMemory;
  each_band([&](int k, std::int64_t from, std::int64_t to) {
    std::int64_t *histo = histos.get() + static_cast<std::int64_t>(kHistoBins) * k;
    for (std::int64_t i = from; i < to; ++i) {
      const float scaled = scale * (load_float(bytes, i) - mn);
      // NaN counts in bin 0, like any value below the minimum.
      int bin = 0;
      if (scaled >= 65535.0f) {
        bin = 65535;
      } else if (scaled > 0.0f) {
        bin = static_cast<int>(scaled);
      }
      ++histo[bin];
    }
  });
  std::int64_t *histo = histos.get();
  for (int k = 1; k < bands; ++k) {
    const std::int64_t *other = histos.get() + static_cast<std::int64_t>(kHistoBins) * k;
    for (int b = 0; b < kHistoBins; ++b) histo[b] += other[b];
  }

  // The clip counts are single-precision products, like every parameter of the stage.
  const float total = static_cast<float>(n);
  int planch = 0;
  {
    const float limit = (blackClip / 200.0f) * total;
    std::int64_t running = 0;
    while (planch < 65535 && static_cast<float>(running) < limit) running += histo[planch++];
  }
  int plaf = 65535;
  {
    const float keep = total * (100.0f - (whiteClip + 0.001f)) / 100.0f;
    std::int64_t remaining = n;
    while (plaf >= 0 && keep < static_cast<float>(remaining)) remaining -= histo[plaf--];
    if (plaf < 0) plaf = 0;
  }

  const float black = mn + static_cast<float>(planch) / scale;
  // A white bin of 0 (everything clipped) would divide by zero; one bin is the narrowest span.
  const float span = static_cast<float>(plaf > 0 ? plaf : 1) / scale;
  each_band([&](int, std::int64_t from, std::int64_t to) {
    for (std::int64_t i = from; i < to; ++i) {
      float v = (load_float(bytes, i) - black) / span;
      if (!(v >= 0.0f)) v = 0.0f;
      store_float(bytes, i, v);
    }
  });
  return height;
}

int tm31(int kind, DimParam dim, const float *param, const float *lumParam, const float *table, const float *curve,
         OptimParam opt, const void *src, float *plane, void *dst, int width, int rows) {
  FinishConstants k;
  compute_constants(kind, dim, param, lumParam, table, k);
  if (opt.v[TMLIB_OPT_READ_FROM_DISK] > 0) return finish_from_disk(k, dim, param, table, opt, dst, width, rows);

  const OutLayout o = out_layout(dim);
  const std::int64_t dstRow = static_cast<std::int64_t>(dim.v[TMLIB_DIM_OUT_STRIDE]) * o.bytes;
  const std::int64_t step = static_cast<std::int64_t>(o.spp) * o.bytes;
  const auto *planeBytes = reinterpret_cast<const unsigned char *>(plane);
  auto *out = static_cast<unsigned char *>(dst);
  const auto *in = static_cast<const unsigned char *>(src);
  const bool swapped = dim.v[TMLIB_DIM_CHANNEL_ORDER] != 0;
  const int inRed = swapped ? o.spp - 1 : 0, inBlue = swapped ? 0 : o.spp - 1, inGreen = (o.spp - 1) / 2;

  for (int y = 0; y < rows; ++y) {
    const unsigned char *planeRow = planeBytes + 4 * static_cast<std::int64_t>(width) * y;
    unsigned char *dstLine = out + dstRow * y;
    if (kind == kKindRgbe) {
      finish_rgbe_row(k, table, in + 4 * static_cast<std::int64_t>(width) * y, width, planeRow, dstLine, o);
      continue;
    }
    if (kind == kKindFloat) {
      const unsigned char *line = in + static_cast<std::int64_t>(dim.v[TMLIB_DIM_SRC_STRIDE]) * 4 * y;
      for (int x = 0; x < width; ++x) {
        const std::int64_t base = static_cast<std::int64_t>(o.spp) * x;
        // Negative, NaN and infinite samples are read the way the RGBE encoder reads them.
        const float r = rgbe_clean_channel(load_float(line, base + inRed));
        const float g = rgbe_clean_channel(load_float(line, base + inGreen));
        const float b = rgbe_clean_channel(load_float(line, base + inBlue));
        finish_pixel(k, r, g, b, 1.0f, 1.0f, load_float(planeRow, x), dstLine + step * x, o);
      }
      continue;
    }
    if (kind == kKind8) {
      // One byte per sample, linearised through the 256-entry curve of 8-bit documents.
      const unsigned char *line = in + static_cast<std::int64_t>(dim.v[TMLIB_DIM_SRC_STRIDE]) * y;
      for (int x = 0; x < width; ++x) {
        const unsigned char *px = line + static_cast<std::int64_t>(o.spp) * x;
        finish_pixel(k, curve[px[inRed]], curve[px[inGreen]], curve[px[inBlue]], 1.0f, 1.0f, load_float(planeRow, x),
                     dstLine + step * x, o);
      }
      continue;
    }
    // 16-bit samples, linearised through the 65,536-entry curve.
    const unsigned char *line = in + static_cast<std::int64_t>(dim.v[TMLIB_DIM_SRC_STRIDE]) * 2 * y;
    for (int x = 0; x < width; ++x) {
      const unsigned char *px = line + 2 * static_cast<std::int64_t>(o.spp) * x;
      const float r = curve[load_u16(px + 2 * inRed)];
      const float g = curve[load_u16(px + 2 * inGreen)];
      const float b = curve[load_u16(px + 2 * inBlue)];
      finish_pixel(k, r, g, b, 1.0f, 1.0f, load_float(planeRow, x), dstLine + step * x, o);
    }
  }
  return rows;
}

void tm3_threaded(Tm3Task *task) {
  const RowBand band = pointwise_band(task->dim.v[TMLIB_DIM_HEIGHT], task->workers, task->index);
  const int width = task->dim.v[TMLIB_DIM_WIDTH];
  const std::int64_t y0 = band.start;
  std::int64_t srcOffset = 0;
  switch (task->kind) {
    case kKindRgbe:
      srcOffset = y0 * 4 * width;
      break;
    case kKind16:
      srcOffset = y0 * 2 * task->dim.v[TMLIB_DIM_SRC_STRIDE];
      break;
    case kKind8:
      srcOffset = y0 * task->dim.v[TMLIB_DIM_SRC_STRIDE];
      break;
    default:
      srcOffset = y0 * 4 * task->dim.v[TMLIB_DIM_SRC_STRIDE];
      break;
  }
  const std::int64_t dstOffset = y0 * task->dim.v[TMLIB_DIM_OUT_STRIDE] * (task->dim.v[TMLIB_DIM_OUT_BITS] / 8);
  DimParam dim = task->dim;
  dim.v[TMLIB_DIM_HEIGHT] = band.rows;
  task->result = tm31(task->kind, dim, task->param, task->lumParam, task->table, task->curve, task->opt,
                      static_cast<const unsigned char *>(task->src) + srcOffset, task->plane + y0 * width,
                      static_cast<unsigned char *>(task->dst) + dstOffset, width, band.rows);
}

}  // namespace tmlib

using namespace tmlib;

extern "C" {

int calc_tm3(int kind, DimParam dim, const float *param, const float *lumParam, const float *table, const float *curve,
             OptimParam opt, const void *src, float *plane, void *dst) {
  try {
    return calc_tm3_checked(kind, dim, param, lumParam, table, curve, opt, src, plane, dst);
  } catch (...) {
    return kErrNoMemory;
  }
}

void coeffPoly3(float x1, float y1, float *a, float *b, float *c, float *d, float x2, float y2) {
  const float det = 2.0f * (x2 * x2 * x2 - x1 * x1 * x1) + 6.0f * x1 * x2 * (x1 - x2);
  if (det == 0.0f) {
    *a = *b = *c = *d = 0.0f;
    return;
  }
  const float ca = (y1 - y2) / det;
  const float cb = -3.0f * x2 * ca;
  const float cc = ca * (6.0f * x1 * x2 - 3.0f * x1 * x1);
  *a = ca;
  *b = cb;
  *c = cc;
  *d = y1 - (ca * x1 * x1 * x1 + cb * x1 * x1 + cc * x1);
}

int tm300(int w0, int h0, int w1, int h1, const float *src, float *dst) {
  if (w0 <= 0 || h0 <= 0 || w1 <= 0 || h1 <= 0 || src == nullptr || dst == nullptr) return kErrArgs;
  const std::int64_t count = static_cast<std::int64_t>(w1) * h1;
  if (count > std::numeric_limits<int>::max()) return kErrNoMemory;
  const float ratioX = static_cast<float>(w0) / static_cast<float>(w1);
  const float ratioY = static_cast<float>(h0) / static_cast<float>(h1);
  // Enlarging puts the right and lower neighbours of the last source column and row outside
  // the plane: they are clamped to the edge.
  const auto at = [&](int x, int y) { return src[static_cast<std::int64_t>(y) * w0 + x]; };
  for (int y = 0; y < h1; ++y) {
    float *row = dst + static_cast<std::int64_t>(y) * w1;
    if (y == h1 - 1 && h1 > 1) {
      std::memcpy(row, row - w1, sizeof(float) * static_cast<std::size_t>(w1));
      continue;
    }
    const float sy = ratioY * static_cast<float>(y);
    int iy = static_cast<int>(sy);
    if (iy > h0 - 1) iy = h0 - 1;
    const float fy = sy - static_cast<float>(iy);
    const int iy1 = iy + 1 < h0 ? iy + 1 : h0 - 1;
    for (int x = 0; x < w1; ++x) {
      if (x == w1 - 1 && w1 > 1) {
        row[x] = row[x - 1];
        continue;
      }
      const float sx = ratioX * static_cast<float>(x);
      int ix = static_cast<int>(sx);
      if (ix > w0 - 1) ix = w0 - 1;
      const float fx = sx - static_cast<float>(ix);
      const int ix1 = ix + 1 < w0 ? ix + 1 : w0 - 1;
      row[x] = (1.0f - fx) * (1.0f - fy) * at(ix, iy) + fx * (1.0f - fy) * at(ix1, iy) +
               (1.0f - fx) * fy * at(ix, iy1) + fx * fy * at(ix1, iy1);
    }
  }
  return static_cast<int>(count);
}

}  // extern "C"
