// SPDX-License-Identifier: MIT
// Details Enhancer, first stage: pyramid sizing and the gradient-domain compression that
// turns the image into the right-hand sides of the Poisson equation solved by stage 2.
#include "core/checked_size.h"
#include "core/scratch_file.h"
#include "details/stage1.h"

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "details/modes.h"
#include "core/status.h"
#include "core/tiling.h"
#include "tmlib/preview.h"
#include "tmlib/rgbe.h"

namespace tmlib::stage1 {
namespace {

// Sides of 9 pixels or less cannot be put into a pyramid.
constexpr int kMinSide = 9;
// Solver levels stop halving once a side is 9 or less, analysis levels once it is 5 or less.
constexpr int kSolverStop = 9;
constexpr int kAnalysisStop = 5;
// Level counts beyond this cannot come from a real image (sides are 32-bit).
constexpr int kMaxLevelCount = 60;

// Bins of the log-luminance histogram of the statistics.
constexpr int kStatBins = 65536;
// Right-hand-side values beyond this are dropped by the discrete-levels variant.
constexpr float kMaxRhs = 100.0f;

// A float parameter as an int, truncated toward zero; NaN and values far outside any
// meaningful setting are clamped instead of being undefined.
int trunc_param(float v) {
  if (!(v == v)) return 0;
  if (v > 1e6f) return 1000000;
  if (v < -1e6f) return -1000000;
  return static_cast<int>(v);
}

// Halves w x h (rounding up) `times` times while both sides exceed `stop`, summing the
// sizes of the start level and of every step (a step that cannot halve adds the same size
// again). The size is 64-bit so that no image can wrap it.
struct Halving {
  std::int64_t size;
  int w, h;
};
Halving halve(int w, int h, int times, int stop) {
  Halving r{static_cast<std::int64_t>(w) * h, w, h};
  for (int i = 0; i < times; ++i) {
    if (r.w > stop && r.h > stop) {
      r.w = (r.w + 1) / 2;
      r.h = (r.h + 1) / 2;
    } else {
      // Stuck: every remaining step adds the same level (saturating: absurd counts must
      // give an absurd size, not a wrapped one).
      const std::int64_t area = static_cast<std::int64_t>(r.w) * r.h;
      const std::int64_t remaining = times - i;
      r.size = remaining > (INT64_MAX / 4) / area ? INT64_MAX / 4 : r.size + remaining * area;
      break;
    }
    r.size += static_cast<std::int64_t>(r.w) * r.h;
  }
  return r;
}

// Number of halvings of a side down to about 32 pixels: log2(side / 32), truncated, plus
// one when its fraction exceeds one half.
int side_levels(int side) {
  const float l = std::log2(static_cast<float>(side) * 0.03125f);
  int n = static_cast<int>(l);
  if (l - static_cast<float>(n) > 0.5f) ++n;
  return n;
}

}  // namespace

int pyramid_geometry(int width, int height, const std::int32_t *dims, Geometry *out) {
  if (dims == nullptr || out == nullptr) return kErrOpen;
  const int w0 = dims[TMLIB_PD_LEVEL0_WIDTH];
  const int h0 = dims[TMLIB_PD_LEVEL0_HEIGHT];
  const int L = dims[TMLIB_PD_LEVELS];
  const int B = dims[TMLIB_PD_ANALYSIS_LEVELS];
  if (width <= kMinSide || height <= kMinSide || w0 < width || h0 < height) return kErrOpen;
  if (L < -kMaxLevelCount || L > kMaxLevelCount || B < -kMaxLevelCount || B > kMaxLevelCount) return kErrOpen;
  // The record must be the one tm_dimSAV gives for this level 0 and these counts; then every
  // level below fits in the buffers the caller sized from it.
  const Halving solver = halve(w0, h0, L, kSolverStop);
  const Halving analysis = halve(w0, h0, B, kAnalysisStop);
  if (solver.size != dims[TMLIB_PD_SOLVER_CELLS] || analysis.size != dims[TMLIB_PD_ANALYSIS_CELLS] ||
      solver.w != dims[TMLIB_PD_MIN_WIDTH] || solver.h != dims[TMLIB_PD_MIN_HEIGHT] ||
      analysis.w != dims[TMLIB_PD_ANALYSIS_MIN_WIDTH] || analysis.h != dims[TMLIB_PD_ANALYSIS_MIN_HEIGHT])
    return kErrOpen;
  out->capacity = std::max<std::int64_t>(dims[TMLIB_PD_SOLVER_CELLS], dims[TMLIB_PD_ANALYSIS_CELLS]);
  out->solverLevels = L;
  Level lev{w0, h0, 0};
  out->count = 0;
  out->levels[out->count++] = lev;
  while (lev.w > dims[TMLIB_PD_ANALYSIS_MIN_WIDTH] && out->count < Geometry::kMaxLevels) {
    const std::int64_t next = lev.offset + lev.size();
    lev = Level{(lev.w + 1) / 2, (lev.h + 1) / 2, next};
    if (lev.offset + lev.size() > out->capacity) return kErrOpen;
    out->levels[out->count++] = lev;
  }
  return kOk;
}

}  // namespace tmlib::stage1

// ---------------------------------------------------------------------------------------
// Pyramid sizes

extern "C" TMLIB_API int tm_dimSAV(int width, int height, int extraLevels, int analysisLevels, int32_t *dims) {
  using namespace tmlib::stage1;
  if (width <= kMinSide || height <= kMinSide || dims == nullptr) return tmlib::kErrOpen;
  const int n = (side_levels(width) + side_levels(height)) >> 1;
  const std::int64_t L64 = static_cast<std::int64_t>(extraLevels) + n;
  std::int64_t B64 = analysisLevels == 0 ? L64 + 3 : analysisLevels;
  // Level counts this large would give buffers no int32 record can describe.
  if (L64 > INT_MAX / 2 || L64 < INT_MIN / 2 || B64 > INT_MAX / 2 || B64 < INT_MIN / 2) return tmlib::kErrNoMemory;
  const int L = static_cast<int>(L64);
  const int B = static_cast<int>(B64);
  const Halving solver = halve(width, height, L, kSolverStop);
  const Halving analysis = halve(width, height, B, kAnalysisStop);
  if (solver.size > INT32_MAX || analysis.size > INT32_MAX) return tmlib::kErrNoMemory;
  dims[TMLIB_PD_WIDTH] = width;
  dims[TMLIB_PD_HEIGHT] = height;
  dims[TMLIB_PD_LEVEL0_WIDTH] = width;
  dims[TMLIB_PD_LEVEL0_HEIGHT] = height;
  dims[TMLIB_PD_SOLVER_CELLS] = static_cast<int32_t>(solver.size);
  dims[TMLIB_PD_ANALYSIS_CELLS] = static_cast<int32_t>(analysis.size);
  dims[TMLIB_PD_MIN_WIDTH] = solver.w;
  dims[TMLIB_PD_MIN_HEIGHT] = solver.h;
  dims[TMLIB_PD_ANALYSIS_MIN_WIDTH] = analysis.w;
  dims[TMLIB_PD_ANALYSIS_MIN_HEIGHT] = analysis.h;
  dims[TMLIB_PD_LEVELS] = L;
  dims[TMLIB_PD_ANALYSIS_LEVELS] = B;
  return L;
}

extern "C" TMLIB_API int tm_dim(int width, int height, const float *param, int32_t *dims) {
  if (param == nullptr) return tmlib::kErrOpen;
  if (!tmlib::smoothing_slider(param))
    return tm_dimSAV(width, height, 2 - tmlib::stage1::trunc_param(param[TMLIB_DE_SMOOTHING_LEVEL]), 4, dims);
  return tm_dimSAV(width, height, 0, 0, dims);
}

// ---------------------------------------------------------------------------------------
// Temporary files of the work-from-disk mode

namespace tmlib::stage1 {
namespace {

const char *path_at(const OptimParam &opt, int i) { return reinterpret_cast<const char *>(opt.v[i]); }

void say(const char *line) {
  std::puts(line);
  std::fflush(stdout);
}

void say_short_read(int row, std::size_t got) {
  std::printf("can not read temporary file at %d - returned %d instead of 4\n", row, static_cast<int>(got));
  std::fflush(stdout);
}

using scratch::File;

File open_temp(const char *path, const char *mode) {
  File f = scratch::open(path, mode);
  if (!f) say("can not open temporary file");
  return f;
}

int write_temp(const char *path, const void *data, std::int64_t bytes) {
  switch (scratch::write_file(path, data, bytes)) {
    case scratch::kWritten:
      return kOk;
    case scratch::kCannotOpen:
      say("can not open temporary file");
      return kErrOpen;
    case scratch::kShortWrite:
      break;
  }
  say("could not write to temporary file");
  return kErrShortIo;
}

// Reads row `row` (count floats) of the open file into dst.
int read_row(std::FILE *f, int row, float *dst, int count) {
  const std::size_t got = std::fread(dst, sizeof(float), static_cast<std::size_t>(count), f);
  if (got != static_cast<std::size_t>(count)) {
    say_short_read(row, got);
    return kErrShortIo;
  }
  return kOk;
}

}  // namespace
}  // namespace tmlib::stage1

extern "C" int calc_tm0s(int docType, int width, int height, float *lumParam, const float *table, int /*decoderFlag*/,
                         const char *srcPath, const char *tmpPath, float *out) {
  using namespace tmlib;
  using namespace tmlib::stage1;
  if (docType != 0) return kErrDims;
  if (width <= kMinSide || height <= kMinSide) return kErrOpen;
  if (lumParam == nullptr || table == nullptr || out == nullptr || srcPath == nullptr) return kErrOpen;
  const std::int64_t size = scratch::file_size(srcPath);
  if (size < 0) return kErrOpen;
  int32_t rdims[TMLIB_RADIANCE_DIMS] = {
      width, height, static_cast<int32_t>(std::min<std::int64_t>(size, INT32_MAX)), 0, 0, 0, 0};
  auto *rgbe = reinterpret_cast<unsigned char *>(out);
  const int decoded = decomp2(srcPath, rdims, rgbe);
  if (decoded < 0) return decoded;
  const std::int64_t rowBytes = 4 * static_cast<std::int64_t>(width);
  // The decoded rows leave the buffer so that the log luminance can be written over them.
  if (const int r = write_temp(tmpPath, rgbe, rowBytes * height); r < 0) return r;
  auto row = try_new<std::uint8_t>(rowBytes);
  if (!row) return kErrNoMemory;
  File f = open_temp(tmpPath, "rb");
  if (!f) return kErrOpen;
  LogStats stats;
  for (int y = 0; y < height; ++y) {
    const std::size_t got = std::fread(row.get(), 4, static_cast<std::size_t>(width), f.get());
    if (got != static_cast<std::size_t>(width)) {
      say_short_read(y, got);
      return kErrShortIo;
    }
    rgbe_log_row(row.get(), width, table, out + static_cast<std::int64_t>(y) * width, &stats);
  }
  replace_invalid_logs(out, width, height, width, stats.count > 0 ? stats.min : 0.0f);
  stats.write(lumParam);
  return height;
}

// ---------------------------------------------------------------------------------------
// The stage

namespace tmlib::stage1 {
namespace {

enum class Variant { kContinuous, kDiscrete };

struct Params {
  float exponent;
  float alphaFactor;
  float smoothFactor;
  bool is360;
  int window;  // attenuation levels multiplied into one map (continuous variant)
};

Params read_params(const float *param) {
  Params p{};
  const float comp = static_cast<float>(static_cast<double>(param[TMLIB_DE_LUMINOSITY] + 10.0f) * 0.6 + 1.0);
  p.exponent = (comp / -100.0f + 1.0f) - 1.0f;
  // g and smoothFactor in single precision like the sliders themselves; the power is taken
  // in double and rounded back.
  const float m = param[TMLIB_DE_MICROCONTRAST];
  const float g = m <= 2.0f ? m / 2.5f : (m - 2.0f) * 0.125f + 0.8f;
  p.alphaFactor = static_cast<float>(0.1 * std::pow(2.0, static_cast<double>(g)));
  const float s = param[TMLIB_DE_MICROSMOOTHING];
  p.smoothFactor = s <= 11.0f ? s / 15.0f : (s - 11.0f) / 10.0f + 0.7333f;
  p.is360 = trunc_param(param[TMLIB_DE_PANORAMA_360]) != 0;
  p.window = solver_code(param) <= 0 ? 6 : 5;
  return p;
}

// trunc(f * n) in single precision, as a count; never undefined for odd fractions.
std::int64_t count_threshold(float f, std::int64_t n) {
  const float t = f * static_cast<float>(n);
  if (!(t > 0.0f)) return 0;
  if (t >= 9.0e18f) return INT64_MAX;
  return static_cast<std::int64_t>(t);
}

// lumParam 3..6 from a histogram of the level-0 log luminances between the minimum and the
// maximum that the log luminance step measured. Skipped when that range is unusable (for
// 8-bit sources lumParam 0..2 are the caller's) or the histogram cannot be had.
void luminance_statistics(const float *level0, std::int64_t n, const float *param, float *lumParam) {
  const float logMin = std::log(lumParam[2]);
  const float logMax = std::log(lumParam[0] * lumParam[1]);
  if (!std::isfinite(logMin) || !std::isfinite(logMax) || !(logMin < logMax)) return;
  auto histo = try_new<std::int32_t>(kStatBins, true);
  if (!histo) return;
  if (log_histo(n, kStatBins, logMin, logMax, level0, histo.get()) < 0) return;
  GlobalCntAdjust = 0;
  const float p = adjust_percentile(0.5f, n, kStatBins, histo.get());
  const float binWidth = (logMax - logMin) / static_cast<float>(kStatBins);
  const float fractions[4] = {p, p / 2.0f, (1.0f + p) / 2.0f, (100.0f - param[TMLIB_DE_WHITE_CLIP]) / 100.0f};
  for (int k = 0; k < 4; ++k) {
    const std::int64_t threshold = count_threshold(fractions[k], n);
    std::int64_t running = 0;
    int bin = 0;
    while (bin < kStatBins && (running += histo[bin]) <= threshold) ++bin;
    lumParam[3 + k] = logMin + static_cast<float>(bin) * binWidth;
  }
}

// The attenuation map of level k: the factors of levels k .. top multiplied together, each
// coarser product brought up one level at a time. Intermediate products live at the end of
// temp (the size of level 1); the final one replaces level k's factors.
void attenuation_map(const Geometry &geo, int k, int top, bool is360, float *pyr, float *temp) {
  if (top <= k) return;
  const std::int64_t tempEnd = geo.levels[1].size();
  const Level &t = geo.levels[top];
  float *coarse = temp + tempEnd - t.size();
  std::memcpy(coarse, pyr + t.offset, sizeof(float) * static_cast<std::size_t>(t.size()));
  for (int j = top - 1; j > k; --j) {
    const Level &lj = geo.levels[j];
    float *out = temp + tempEnd - lj.size();
    upsample_multiply(coarse, pyr + lj.offset, out, lj.w, lj.h, is360);
    coarse = out;
  }
  const Level &lk = geo.levels[k];
  upsample_multiply(coarse, pyr + lk.offset, pyr + lk.offset, lk.w, lk.h, is360);
}

// The right-hand side of a level whose saved log luminance is read back from the file.
int divergence_from_file(std::FILE *f, const Level &lev, float *phi, float *rows, float *phiPrev, float *phiCur) {
  if (fseeko(f, static_cast<off_t>(lev.offset) * static_cast<off_t>(sizeof(float)), SEEK_SET) != 0) return kErrOpen;
  const int w = lev.w;
  float *ring[3] = {rows, rows + w, rows + 2 * static_cast<std::int64_t>(w)};
  if (const int r = read_row(f, 0, ring[0], w); r < 0) return r;
  if (lev.h > 1)
    if (const int r = read_row(f, 1, ring[1], w); r < 0) return r;
  for (int y = 0; y < lev.h; ++y) {
    float *row = phi + static_cast<std::int64_t>(y) * w;
    std::memcpy(phiCur, row, sizeof(float) * w);
    divergence_row(y > 0 ? phiPrev : nullptr, phiCur, y > 0 ? ring[(y + 2) % 3] : nullptr, ring[y % 3],
                   y + 1 < lev.h ? ring[(y + 1) % 3] : nullptr, w, row);
    std::swap(phiPrev, phiCur);
    if (y + 2 < lev.h)
      if (const int r = read_row(f, y + 2, ring[(y + 2) % 3], w); r < 0) return r;
  }
  return kOk;
}

int run_stage1(Variant variant, int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
               const float *table, const float *curve, int decoderFlag, OptimParam opt, void *work, float *pyramid) {
  if (param == nullptr || dims == nullptr || lumParam == nullptr || pyramid == nullptr) return kErrOpen;
  const bool fromDisk = opt.v[TMLIB_OPT_READ_FROM_DISK] != 0;
  if (fromDisk && docType != 0) return kErrOpen;
  if (!fromDisk && work == nullptr) return kErrOpen;
  const int workers = fromDisk ? 0 : clamp_workers(opt.v[TMLIB_OPT_WORKERS]);
  const int width = dim.v[TMLIB_DIM_WIDTH];
  const int height = dim.v[TMLIB_DIM_HEIGHT];
  Geometry geo;
  if (const int r = pyramid_geometry(width, height, dims, &geo); r < 0) return r;
  const Level &l0 = geo.levels[0];
  // The decoded file lands in level 0 as it is: no room to widen its rows.
  if (fromDisk && (l0.w != width || l0.h != height)) return kErrOpen;
  const Params p = read_params(param);

  // Scratch: two rows for the gradients, two attenuation rows and three log-luminance rows
  // (from disk) for the divergence, and the intermediate attenuation products.
  auto rows = try_new<float>(5 * static_cast<std::size_t>(l0.w));
  std::unique_ptr<float[]> temp;
  if (geo.count > 1) temp = try_new<float>(geo.levels[1].size());
  if (!rows || (geo.count > 1 && !temp)) return kErrNoMemory;
  float *rowA = rows.get();
  float *rowB = rowA + l0.w;
  float *rowH = rowB + l0.w;

  // 1. Log luminance into level 0.
  const int r0 =
      fromDisk
          ? calc_tm0s(docType, width, height, lumParam, table, decoderFlag, path_at(opt, 2), path_at(opt, 3), pyramid)
          : log_luminance(workers, docType, dim.v[TMLIB_DIM_SPP], width, height, dim.v[TMLIB_DIM_OUT_STRIDE], width,
                          height, l0.w, l0.h, lumParam, table, curve, work, pyramid);
  if (r0 < 0) return r0;

  // 2. Gaussian pyramid.
  for (int k = 1; k < geo.count; ++k) {
    const Level &fine = geo.levels[k - 1];
    gaussian_reduce(workers, pyramid + fine.offset, fine.w, fine.h, pyramid + geo.levels[k].offset, p.is360);
  }

  // 3. Luminance statistics.
  luminance_statistics(pyramid, l0.size(), param, lumParam);

  // 4. Keep the log-luminance pyramid for the divergences.
  if (fromDisk) {
    if (const int r = write_temp(path_at(opt, 4), pyramid, geo.capacity * static_cast<std::int64_t>(sizeof(float)));
        r < 0)
      return r;
  } else {
    std::memcpy(work, pyramid, sizeof(float) * static_cast<std::size_t>(geo.capacity));
  }

  // 5. Gradient magnitudes and their attenuation factors, level by level.
  float scale = 0.5f;
  for (int k = 0; k < geo.count; ++k) {
    const Level &lev = geo.levels[k];
    // The magnitudes are summed in double: added one by one in single precision, millions of
    // them would stop counting once the running sum dwarfs each one (the mean would come out
    // far too small on a large picture).
    const double sum = gradient_level(workers, pyramid + lev.offset, lev.w, lev.h, scale, p.is360, rowA, rowB);
    const auto avg = static_cast<float>(sum / static_cast<double>(lev.size()));
    const float alpha = p.alphaFactor * avg;
    const float c = p.smoothFactor * avg;
    if (alpha > 0.0f) attenuate_level(workers, lev.w, lev.h, lev.offset, alpha, p.exponent, c, pyramid);
    scale *= 0.5f;
  }

  // 6 and 7. Attenuation map and right-hand side of each solver level, finest first: a
  // level's map and right-hand side are made once the finer ones no longer need its factors.
  const int wanted = variant == Variant::kDiscrete ? 0 : std::max(0, geo.solverLevels - 2);
  const int last = std::min(wanted, geo.count - 1);
  const int window = variant == Variant::kDiscrete ? geo.count : p.window;
  File saved;
  if (fromDisk) {
    saved = open_temp(path_at(opt, 4), "rb");
    if (!saved) return kErrOpen;
  }
  for (int k = 0; k <= last; ++k) {
    const Level &lev = geo.levels[k];
    attenuation_map(geo, k, std::min(k + window - 1, geo.count - 1), p.is360, pyramid, temp.get());
    float *phi = pyramid + lev.offset;
    if (fromDisk) {
      if (const int r = divergence_from_file(saved.get(), lev, phi, rowH, rowA, rowB); r < 0) return r;
    } else {
      divergence_level(workers, phi, lev.w, lev.h, static_cast<const float *>(work) + lev.offset, rowA, rowB);
    }
  }
  // A pyramid whose analysis levels stop early (a side of 5 or less) has solver levels
  // without a Gaussian level of their own: their right-hand side is zero.
  if (wanted > last) {
    const Level &end = geo.levels[geo.count - 1];
    const std::int64_t from = end.offset + end.size();
    std::fill(pyramid + from, pyramid + geo.capacity, 0.0f);
  }
  if (variant == Variant::kDiscrete) {
    float *b = pyramid;
    for (std::int64_t i = 0, n = l0.size(); i < n; ++i)
      if (b[i] > kMaxRhs || b[i] < -kMaxRhs) b[i] = 0.0f;
  }
  return last + 1;
}

int guarded(Variant variant, int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
            const float *table, const float *curve, int decoderFlag, OptimParam opt, void *work, float *pyramid) {
  try {
    return run_stage1(variant, docType, dim, param, dims, lumParam, table, curve, decoderFlag, opt, work, pyramid);
  } catch (...) {
    return kErrNoMemory;
  }
}

}  // namespace
}  // namespace tmlib::stage1

extern "C" TMLIB_API int calc_tm1new(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
                                     const float *table, const float *curve, int decoderFlag, OptimParam opt,
                                     void *work, float *pyramid) {
  using namespace tmlib::stage1;
  return guarded(Variant::kContinuous, docType, dim, param, dims, lumParam, table, curve, decoderFlag, opt, work,
                 pyramid);
}

extern "C" TMLIB_API int calc_tm1old(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
                                     const float *table, const float *curve, int decoderFlag, OptimParam opt,
                                     void *work, float *pyramid) {
  using namespace tmlib::stage1;
  return guarded(Variant::kDiscrete, docType, dim, param, dims, lumParam, table, curve, decoderFlag, opt, work,
                 pyramid);
}

extern "C" TMLIB_API int calc_tm1(int docType, DimParam dim, float *param, int32_t *dims, float *lumParam,
                                  const float *table, const float *curve, int decoderFlag, OptimParam opt, void *work,
                                  float *pyramid) {
  if (param == nullptr) return tmlib::kErrOpen;
  const tmlib::WorkerCrew crew(opt.v[TMLIB_OPT_WORKERS]);  // one attenuation round per level: reuse the workers
  if (!tmlib::smoothing_slider(param))
    return calc_tm1old(docType, dim, param, dims, lumParam, table, curve, decoderFlag, opt, work, pyramid);
  return calc_tm1new(docType, dim, param, dims, lumParam, table, curve, decoderFlag, opt, work, pyramid);
}
