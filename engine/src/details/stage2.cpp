// SPDX-License-Identifier: MIT
// Stage 2 of the Details Enhancer: rebuilds the compressed log luminance from the right-hand
// sides stage 1 left in the pyramid buffer, coarse level first, and exponentiates level 0.
// calc_tm2 picks the conjugate-gradient cascade (calc_tm2new2, here) or the multigrid scheme
// (calc_tm2old, details/multigrid.cpp) by the smoothing mode.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/checked_size.h"
#include "core/scratch_file.h"
#include "details/modes.h"
#include "details/stage2.h"
#include "core/status.h"
#include "core/tiling.h"
#include "core/vector_exp.h"

namespace tmlib::stage2 {

// Far more levels than any image can halve into; a larger count is a corrupted record.
constexpr int kMaxCascadeLevels = 4096;

std::vector<LevelSize> cascade_levels(int width, int height, int count) {
  std::vector<LevelSize> levels;
  if (count <= 0) return levels;
  levels.reserve(static_cast<std::size_t>(count));
  LevelSize cur{width, height};
  for (int k = 0; k < count; ++k) {
    levels.push_back(cur);
    if (cur.w > 3 && cur.h > 3) cur = {(cur.w + 1) / 2, (cur.h + 1) / 2};
  }
  return levels;
}

float tolerance_base(int code) {
  switch (code) {
    case -1:
      return 1e-4f;
    case -2:
      return 3e-4f;
    case 0:
      return 1e-5f;
    case 2:
      return 1e-7f;
    default:
      return 1e-6f;
  }
}

int max_iterations(float smoothingSlider) {
  const double v = 50.0 * std::pow(3.0, static_cast<double>(smoothingSlider / 10.0f));
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  return static_cast<int>(v);
}

float level_tolerance_factor(int width, int height) {
  const int m = (width + height) >> 1;
  if (m <= 1600) return 1.0f;
  return static_cast<float>(20.0 * std::log(m / 1000.0));
}

void upsample_in_place(float *buf, std::int64_t end, int cw, int ch, int fw, int fh, int is360) {
  const std::int64_t cn = static_cast<std::int64_t>(cw) * ch;
  const std::int64_t fn = static_cast<std::int64_t>(fw) * fh;
  const float *coarse = buf + end - cn;
  float *fine = buf + end - fn;
  // The coarse rows a fine row reads are copied aside first: the last fine row of a panorama
  // reads coarse column 0 after the row's own writes have reached it, and a level that did
  // not halve (a side of 3 or less) would be overwritten before it is read.
  std::vector<float> whole;
  const bool halves = static_cast<std::int64_t>(fw) >= 2LL * cw - 1 && static_cast<std::int64_t>(fh) >= 2LL * ch - 1;
  if (!halves) {
    whole.assign(coarse, coarse + cn);
    coarse = whole.data();
  }
  std::vector<float> pair(2 * static_cast<std::size_t>(cw));
  for (int i = 0; i < fh; ++i) {
    const int r0 = i / 2;
    const bool between = (i & 1) != 0 && (i + 1) / 2 < ch;
    const float *top = pair.data();
    const float *bot = pair.data() + cw;
    const int rTop = r0 < ch ? r0 : ch - 1;
    std::memcpy(pair.data(), coarse + static_cast<std::int64_t>(rTop) * cw, cw * sizeof(float));
    if (between) std::memcpy(pair.data() + cw, coarse + static_cast<std::int64_t>(r0 + 1) * cw, cw * sizeof(float));
    float *out = fine + static_cast<std::int64_t>(i) * fw;
    for (int j = 0; j < fw; ++j) {
      const int c0 = j / 2;
      const int cA = c0 < cw ? c0 : cw - 1;
      if ((j & 1) == 0) {
        out[j] = between ? 0.5f * top[cA] + 0.5f * bot[cA] : top[cA];
        continue;
      }
      int cB;
      bool hasRight = true;
      if ((j + 1) / 2 < cw) {
        cB = (j + 1) / 2;
      } else if (is360 != 0) {
        cB = 0;
      } else {
        cB = cA;
        hasRight = false;
      }
      if (!hasRight) {
        out[j] = between ? 0.5f * top[cA] + 0.5f * bot[cA] : top[cA];
      } else if (between) {
        out[j] = 0.25f * top[cA] + 0.25f * top[cB] + 0.25f * bot[cA] + 0.25f * bot[cB];
      } else {
        out[j] = 0.5f * top[cA] + 0.5f * top[cB];
      }
    }
  }
}

namespace {

const char *path_of(const OptimParam &opt, int element) { return reinterpret_cast<const char *>(opt.v[element]); }

// Writes n floats of buf to path (mode "wb"): 0, -1 (cannot create), -2 (short write).
int write_rhs_file(const char *path, const float *buf, std::int64_t n) {
  switch (scratch::write_file(path, buf, n * static_cast<std::int64_t>(sizeof(float)))) {
    case scratch::kWritten:
      return 0;
    case scratch::kCannotOpen:
      std::printf("can not open temporary file %s\n", path != nullptr ? path : "(null)");
      return kErrOpen;
    case scratch::kShortWrite:
      break;
  }
  std::puts("could not write to temporary file iofpRHS");
  return kErrShortIo;
}

}  // namespace

// Below this many values the exponentiation is not worth a round of the workers.
constexpr std::int64_t kExpThreadedMinCells = 1200;

int calc_tm2new2_stats(DimParam dim, int levels, const float *param, OptimParam opt, float *pyramid,
                       CascadeStats *stats) {
  const int W = dim.v[TMLIB_DIM_WIDTH];
  const int H = dim.v[TMLIB_DIM_HEIGHT];
  if (W < 1 || H < 1 || pyramid == nullptr || param == nullptr) return kErrOpen;
  // Every level's solve runs hundreds of short vector rounds: keep one set of workers for all.
  const WorkerCrew crew(opt.v[TMLIB_OPT_WORKERS]);
  if (levels > kMaxCascadeLevels) return kErrNoMemory;
  const int M = levels;
  const std::int64_t N = static_cast<std::int64_t>(W) * H;
  const float toleranceBase = tolerance_base(solver_code(param));
  const int is360 = param_as_int(param[TMLIB_DE_PANORAMA_360]);
  const bool streaming = M > 2 && opt.v[TMLIB_OPT_READ_FROM_DISK] != 0;
  const int workers = streaming ? 0 : clamp_workers(opt.v[TMLIB_OPT_WORKERS]);

  const std::vector<LevelSize> sizes = cascade_levels(W, H, M);
  std::vector<std::int64_t> posit(sizes.size() + 1, 0);
  for (std::size_t k = 0; k < sizes.size(); ++k) posit[k + 1] = posit[k] + sizes[k].cells();
  const std::int64_t S = posit[sizes.size()];

  const char *pathIn = path_of(opt, 3);
  const char *pathX = path_of(opt, 4);
  const char *pathP = path_of(opt, 5);
  const char *pathR = path_of(opt, 6);
  const char *pathT = path_of(opt, 7);

  if (M >= 1) {
    std::unique_ptr<float[]> B;
    std::unique_ptr<float[]> ownX;
    float *X = nullptr;
    if (streaming) {
      if (int rc = write_rhs_file(pathIn, pyramid, S); rc < 0) return rc;
      B = try_new<float>(sizes[2].cells());
      if (!B) return kErrNoMemory;
      X = pyramid;
      std::memset(X, 0, static_cast<std::size_t>(N) * sizeof(float));
    } else {
      B = try_new<float>(N);
      ownX = try_new<float>(N, true);
      if (!B || !ownX) return kErrNoMemory;
      X = ownX.get();
    }

    int maxIter = 4;
    for (int k = M - 1; k >= 0; --k) {
      const LevelSize lv = sizes[static_cast<std::size_t>(k)];
      const std::int64_t n = lv.cells();
      const int levelWorkers = (workers > 1 && n > 1200) ? workers : 0;
      const bool streamed = streaming && k <= 1;
      const int streamMode = streamed ? k + 1 : 0;
      if (!streamed) std::memcpy(B.get(), pyramid + posit[k], static_cast<std::size_t>(n) * sizeof(float));
      float *x = X + N - n;
      float factor;
      if (k == M - 1) {
        factor = 1e-4f;
        maxIter = max_iterations(param[TMLIB_DE_SMOOTHING]);
      } else {
        factor = level_tolerance_factor(lv.w, lv.h);
      }
      const float tolerance = toleranceBase * factor;
      const int iters = tm20(lv.w, lv.h, maxIter, tolerance, is360, levelWorkers, streamMode, pathIn, pathX, pathP,
                             pathR, pathT, posit[k], B.get(), x);
      if (iters < 0) return iters;
      if (stats != nullptr) {
        stats->levels.push_back(lv);
        stats->iterations.push_back(iters);
        stats->tolerances.push_back(tolerance);
        stats->maxIter = maxIter;
      }
      if (k == 0) {
        if (x != pyramid) std::memcpy(pyramid, x, static_cast<std::size_t>(N) * sizeof(float));
      } else {
        const LevelSize finer = sizes[static_cast<std::size_t>(k - 1)];
        upsample_in_place(X, N, lv.w, lv.h, finer.w, finer.h, is360);
      }
    }
  }

  // Each value is raised exactly once (the map is not idempotent): a worker that cannot be
  // started has its own chunk done on the calling thread.
  const int expWorkers = (workers > 1 && N > kExpThreadedMinCells) ? workers : 0;
  run_workers_finishing_inline(expWorkers, [&](int k) {
    const Chunk c = vector_chunk(N, expWorkers, k);
    exp_floats(pyramid + c.start, pyramid + c.start, c.count);
  });

  if (streaming) {
    if (int rc = write_rhs_file(pathIn, pyramid, N); rc < 0) return rc;
    for (const char *p : {pathX, pathP, pathR, pathT}) {
      if (p != nullptr) std::remove(p);
    }
  }
  return H;
}

}  // namespace tmlib::stage2

extern "C" {

int calc_tm2new2(DimParam dim, int levels, float *param, OptimParam opt, float *pyramid) {
  try {
    return tmlib::stage2::calc_tm2new2_stats(dim, levels, param, opt, pyramid, nullptr);
  } catch (const std::bad_alloc &) {
    return tmlib::kErrNoMemory;
  }
}

int calc_tm2(DimParam dim, int minWidth, int minHeight, int64_t pyramidSize, int levels, float *param, OptimParam opt,
             float *pyramid) {
  if (param == nullptr) return tmlib::kErrOpen;
  if (tmlib::smoothing_slider(param)) {
    // Stage 1 always leaves the right-hand side of level 0, but a small image (a level count
    // of 1 or less: up to about 180 x 90, or 90 x 90) would leave the cascade no level to
    // solve, and level 0 would become the exponential of a divergence: an edge map instead of
    // a compressed luminance, far brighter or darker than the same picture a little larger.
    // Such an image solves level 0 as its only, coarsest level.
    const int cascade = levels < 2 ? 1 : levels - 1;
    // The cascade addresses its levels without a size argument: refuse a record whose levels
    // would not fit the buffer stage 1 sized.
    const int W = dim.v[TMLIB_DIM_WIDTH], H = dim.v[TMLIB_DIM_HEIGHT];
    if (W < 1 || H < 1) return tmlib::kErrOpen;
    if (cascade > tmlib::stage2::kMaxCascadeLevels) return tmlib::kErrNoMemory;
    std::int64_t needed = static_cast<std::int64_t>(W) * H;
    std::int64_t total = 0;
    try {
      for (const auto &lv : tmlib::stage2::cascade_levels(W, H, cascade)) total += lv.cells();
    } catch (const std::bad_alloc &) {
      return tmlib::kErrNoMemory;  // the size list is built before the cascade's own guard
    }
    if (total > needed) needed = total;
    if (pyramidSize < needed) return tmlib::kErrOpen;
    return calc_tm2new2(dim, cascade, param, opt, pyramid);
  }
  return calc_tm2old(dim, minWidth, minHeight, pyramidSize, levels,
                     tmlib::stage2::param_as_int(param[TMLIB_DE_PANORAMA_360]), opt, pyramid);
}

}  // extern "C"
