// SPDX-License-Identifier: MIT
// The discrete-levels Poisson solve of stage 2: four V-cycles over a grid hierarchy, with the
// red-black relaxation kernels as smoother, 2x2 restriction and piecewise-constant
// prolongation. When the image sides are not multiples of 2^L the first coarse level is
// reached by fractional area resampling, so that every coarser level halves exactly.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/checked_size.h"
#include "core/scratch_file.h"
#include "details/stage2.h"
#include "core/status.h"
#include "core/tiling.h"
#include "core/vector_exp.h"
#include "tmlib/blur.h"

namespace tmlib::stage2 {

int grid_hierarchy(int width, int height, int minWidth, int minHeight, int levels, GridHierarchy *out) {
  GridHierarchy g;
  if (width < 2 || height < 2 || levels < 1) return kErrOpen;
  int L = std::min(levels, 30);
  // A level count beyond what the sides allow would make the first fractional level empty
  // (W' = 0); use the largest count that still gives it two cells per side.
  for (; L > 1; --L) {
    const int F = 1 << L;
    if (width % F == 0 && height % F == 0) break;
    if ((F * (width / F)) / 2 >= 2 && (F * (height / F)) / 2 >= 2) break;
  }
  const int F = 1 << L;
  g.levelsUsed = L;
  g.levels.push_back({width, height});
  if (width % F == 0 && height % F == 0) {
    LevelSize cur{width, height};
    while (static_cast<int>(g.levels.size()) <= L && (cur.w > minWidth || cur.h > minHeight) && cur.w > 3 &&
           cur.h > 3) {
      cur = {(cur.w + 1) / 2, (cur.h + 1) / 2};
      g.levels.push_back(cur);
    }
  } else {
    const int w1 = (F * (width / F)) / 2;
    const int h1 = (F * (height / F)) / 2;
    if (w1 >= 2 && h1 >= 2) {
      g.fractional = true;
      g.exactW = width % F == 0;
      g.exactH = height % F == 0;
      g.rW = static_cast<float>(width) / static_cast<float>(w1);
      g.rH = static_cast<float>(height) / static_cast<float>(h1);
      LevelSize cur{w1, h1};
      g.levels.push_back(cur);
      // Bounded by the level count like the halvings above. Halving on for as long as the
      // sides stay even would tie the depth to how often 2 divides floor(W/F) and floor(H/F)
      // instead of to the smoothing level: at 210 x 146, "Very High", "High" and "Medium"
      // would all solve 104 x 72 down to 13 x 9 and give the same picture.
      while (static_cast<int>(g.levels.size()) <= L && cur.w > 3 && cur.h > 3 && cur.w % 2 == 0 && cur.h % 2 == 0) {
        cur = {cur.w / 2, cur.h / 2};
        g.levels.push_back(cur);
      }
    }
  }
  g.offsets.resize(g.levels.size());
  std::int64_t total = 0;
  for (std::size_t k = 0; k < g.levels.size(); ++k) {
    g.offsets[k] = total;
    total += g.levels[k].cells();
  }
  g.total = total;
  *out = std::move(g);
  return 0;
}

FracTaps fractional_taps(int coarseIndex, float ratio, bool exact) {
  FracTaps t;
  const float start = static_cast<float>(coarseIndex) * ratio;
  t.first = static_cast<int>(start);
  t.weight[0] = (static_cast<float>(t.first) + 1.0f - start) / ratio;
  t.weight[1] = 1.0f / ratio;
  if (exact) {
    t.count = 2;
    return t;
  }
  t.count = 3;
  const float end = static_cast<float>(coarseIndex + 1) * ratio;
  float frac = end - std::floor(end);
  if (frac < 1e-30f) frac = 1.0f;
  t.weight[2] = frac / ratio;
  if (t.weight[0] + t.weight[1] + t.weight[2] < 0.9f) t.weight[2] = 1.0f - t.weight[0] - t.weight[1];
  return t;
}

float level_scale(int W, int H, int w, int h) {
  const std::int64_t num = static_cast<std::int64_t>(W - 1) * (H - 1);
  const std::int64_t den = static_cast<std::int64_t>(w - 1) * (h - 1);
  if (den <= 0) return 1.0f;
  return static_cast<float>(num / den);
}

namespace {

FracTaps plain_taps(int coarseIndex) {
  FracTaps t;
  t.first = 2 * coarseIndex;
  t.count = 2;
  t.weight[0] = 0.5f;
  t.weight[1] = 0.5f;
  return t;
}

FracTaps col_taps(const GridHierarchy &g, int fineLevel, int j) {
  return (fineLevel == 0 && g.fractional) ? fractional_taps(j, g.rW, g.exactW) : plain_taps(j);
}

// For the prolongation through the fractional map: which coarse index each fine index
// receives from when the blocks are spread in order and the later one wins (-1: none).
std::vector<int> receive_map(int fineCount, int coarseCount, float ratio, bool exact) {
  std::vector<int> src(static_cast<std::size_t>(fineCount), -1);
  for (int i = 0; i < coarseCount; ++i) {
    const FracTaps t = fractional_taps(i, ratio, exact);
    for (int a = 0; a < t.count; ++a) src[static_cast<std::size_t>(std::min(t.first + a, fineCount - 1))] = i;
  }
  return src;
}

}  // namespace

FracTaps restrict_row_taps(const GridHierarchy &g, int fineLevel, int coarseRow) {
  return (fineLevel == 0 && g.fractional) ? fractional_taps(coarseRow, g.rH, g.exactH) : plain_taps(coarseRow);
}

void restrict_row(const GridHierarchy &g, int fineLevel, int coarseRow, const float *const *rows, float *out) {
  const int fw = g.levels[static_cast<std::size_t>(fineLevel)].w;
  const int cw = g.levels[static_cast<std::size_t>(fineLevel) + 1].w;
  const FracTaps rt = restrict_row_taps(g, fineLevel, coarseRow);
  for (int j = 0; j < cw; ++j) {
    const FracTaps ct = col_taps(g, fineLevel, j);
    float s = 0.0f;
    for (int a = 0; a < rt.count; ++a) {
      for (int b = 0; b < ct.count; ++b) {
        const int x = std::min(ct.first + b, fw - 1);
        s = s + (rt.weight[a] * ct.weight[b]) * rows[a][x];
      }
    }
    out[j] = s;
  }
}

void restrict_level(const GridHierarchy &g, int fineLevel, const float *fine, float *coarse) {
  const LevelSize f = g.levels[static_cast<std::size_t>(fineLevel)];
  const LevelSize c = g.levels[static_cast<std::size_t>(fineLevel) + 1];
  for (int i = 0; i < c.h; ++i) {
    const FracTaps rt = restrict_row_taps(g, fineLevel, i);
    const float *rows[3];
    for (int a = 0; a < rt.count; ++a)
      rows[a] = fine + static_cast<std::int64_t>(std::min(rt.first + a, f.h - 1)) * f.w;
    restrict_row(g, fineLevel, i, rows, coarse + static_cast<std::int64_t>(i) * c.w);
  }
}

void prolong_add(const GridHierarchy &g, int fineLevel, const float *coarse, float *fine) {
  const LevelSize f = g.levels[static_cast<std::size_t>(fineLevel)];
  const LevelSize c = g.levels[static_cast<std::size_t>(fineLevel) + 1];
  if (fineLevel == 0 && g.fractional) {
    const std::vector<int> rowSrc = receive_map(f.h, c.h, g.rH, g.exactH);
    const std::vector<int> colSrc = receive_map(f.w, c.w, g.rW, g.exactW);
    for (int y = 0; y < f.h; ++y) {
      const int i = rowSrc[static_cast<std::size_t>(y)];
      if (i < 0) continue;
      float *row = fine + static_cast<std::int64_t>(y) * f.w;
      const float *src = coarse + static_cast<std::int64_t>(i) * c.w;
      for (int x = 0; x < f.w; ++x) {
        const int j = colSrc[static_cast<std::size_t>(x)];
        if (j >= 0) row[x] = row[x] + src[j];
      }
    }
    return;
  }
  for (int y = 0; y < f.h; ++y) {
    const int i = std::min(y / 2, c.h - 1);
    float *row = fine + static_cast<std::int64_t>(y) * f.w;
    const float *src = coarse + static_cast<std::int64_t>(i) * c.w;
    for (int x = 0; x < f.w; ++x) row[x] = row[x] + src[std::min(x / 2, c.w - 1)];
  }
}

namespace {

using scratch::File;

File open_named(const OptimParam &opt, int element, const char *mode, const char *name) {
  const char *path = reinterpret_cast<const char *>(opt.v[element]);
  File f = scratch::open(path, mode);
  if (!f) {
    std::printf("can not open temporary file %s\n", name);
  } else if (mode[0] == 'r') {
    // A read handle on a file that another handle rewrites must not serve stale buffered
    // bytes after a seek; rows are read whole, so no buffer is needed.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
  }
  return f;
}

bool seek_to(FILE *f, std::int64_t element) { return scratch::seek_element(f, element); }
bool put_row(FILE *f, const float *row, int count) { return scratch::put_floats(f, row, count); }
bool get_row(FILE *f, float *row, int count) { return scratch::get_floats(f, row, count); }

// Relaxation of the way up: the threaded kernel whenever there are workers.
int relax_up(int workers, const LevelSize &lv, float scale, int is360, std::int64_t offset, float *u, int fromDisk,
             FILE *rhsFile, const float *rhs) {
  if (workers >= 2) return blur2(workers, lv.w, lv.h, scale, 2, is360, offset, u, rhs);
  return blur0(workers, lv.w, lv.h, scale, 2, is360, offset, u, fromDisk, rhsFile, rhs);
}

constexpr int kCycles = 4;
// Below this many cells the exponentiation is not worth a round of the workers.
constexpr std::int64_t kThreadedMinCells = 1200;

int multigrid_in_memory(const GridHierarchy &g, int W, int H, int is360, int workers, float *pyramid) {
  const std::int64_t N = static_cast<std::int64_t>(W) * H;
  auto u = try_new<float>(g.total, true);
  auto res = try_new<float>(N);
  if (!u || !res) return kErrNoMemory;
  const int coarsest = static_cast<int>(g.levels.size()) - 1;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    for (int l = 0; l < coarsest; ++l) {
      const LevelSize lv = g.levels[static_cast<std::size_t>(l)];
      const std::int64_t off = g.offsets[static_cast<std::size_t>(l)];
      const float scale = level_scale(W, H, lv.w, lv.h);
      if (int rc = blur0(workers, lv.w, lv.h, scale, 3, is360, off, u.get(), 0, nullptr, pyramid); rc < 0) return rc;
      // reste: r = b - (L u) / scale
      tm20m(workers, lv.w, lv.h, is360, u.get() + off, res.get());
      const float *b = pyramid + off;
      for (std::int64_t i = 0; i < lv.cells(); ++i) res[i] = b[i] - res[i] / scale;
      const std::int64_t next = g.offsets[static_cast<std::size_t>(l) + 1];
      restrict_level(g, l, res.get(), pyramid + next);
      std::fill_n(u.get() + next, g.levels[static_cast<std::size_t>(l) + 1].cells(), 0.0f);
    }
    for (int l = coarsest - 1; l >= 0; --l) {
      const LevelSize lv = g.levels[static_cast<std::size_t>(l)];
      const std::int64_t off = g.offsets[static_cast<std::size_t>(l)];
      prolong_add(g, l, u.get() + g.offsets[static_cast<std::size_t>(l) + 1], u.get() + off);
      const float scale = level_scale(W, H, lv.w, lv.h);
      if (int rc = relax_up(workers, lv, scale, is360, off, u.get(), 0, nullptr, pyramid); rc < 0) return rc;
    }
  }
  const int expWorkers = (workers > 1 && N > kThreadedMinCells) ? workers : 0;
  run_workers_finishing_inline(expWorkers, [&](int k) {
    const Chunk c = vector_chunk(N, expWorkers, k);
    exp_floats(u.get() + c.start, pyramid + c.start, c.count);
  });
  return H;
}

// Streaming: u of every level stays in memory, in the pyramid buffer itself; the right-hand
// sides of all levels live in the RHS file at the level offsets (the layout of the pyramid
// buffer), and the residual of the current level in the residual file, one row at a time.
int multigrid_streamed(const GridHierarchy &g, int W, int H, int is360, const OptimParam &opt, float *pyramid) {
  const std::int64_t N = static_cast<std::int64_t>(W) * H;
  File rhs = open_named(opt, 3, "wb+", "iofpRHS");
  if (!rhs) return kErrOpen;
  if (!seek_to(rhs.get(), 0)) return kErrOpen;
  for (int r = 0; r < H; ++r) {
    if (!put_row(rhs.get(), pyramid + static_cast<std::int64_t>(r) * W, W)) {
      std::puts("could not write to temporary file iofpRHS1");
      return kErrShortIo;
    }
  }
  if (std::fflush(rhs.get()) != 0) {
    std::puts("could not write to temporary file iofpRHS1");
    return kErrShortIo;
  }
  File rhsRead = open_named(opt, 3, "rb", "iofpRHS2");
  if (!rhsRead) return kErrOpen;
  File resWrite = open_named(opt, 4, "wb", "iofp21");
  if (!resWrite) return kErrOpen;
  File resRead = open_named(opt, 4, "rb", "iofp22");
  if (!resRead) return kErrOpen;

  float *u = pyramid;
  std::fill_n(u, g.total, 0.0f);
  std::vector<float> lu(static_cast<std::size_t>(W));
  std::vector<float> bRow(static_cast<std::size_t>(W));
  std::vector<float> fineRows(3 * static_cast<std::size_t>(W));
  std::vector<float> coarseRow(static_cast<std::size_t>(W));
  const int coarsest = static_cast<int>(g.levels.size()) - 1;

  for (int cycle = 0; cycle < kCycles; ++cycle) {
    for (int l = 0; l < coarsest; ++l) {
      const LevelSize lv = g.levels[static_cast<std::size_t>(l)];
      const LevelSize cv = g.levels[static_cast<std::size_t>(l) + 1];
      const std::int64_t off = g.offsets[static_cast<std::size_t>(l)];
      const std::int64_t next = g.offsets[static_cast<std::size_t>(l) + 1];
      const float scale = level_scale(W, H, lv.w, lv.h);
      if (int rc = blur0(0, lv.w, lv.h, scale, 3, is360, off, u, 1, rhs.get(), nullptr); rc < 0) return rc;
      // reste, row by row into the residual file
      if (!seek_to(rhsRead.get(), off) || !seek_to(resWrite.get(), 0)) return kErrOpen;
      for (int r = 0; r < lv.h; ++r) {
        laplace_rows(lv.w, lv.h, is360, u + off, r, 1, lu.data());
        if (!get_row(rhsRead.get(), bRow.data(), lv.w)) {
          std::puts("could not read from temporary file iofpRHS2");
          return kErrShortIo;
        }
        for (int c = 0; c < lv.w; ++c)
          lu[static_cast<std::size_t>(c)] = bRow[static_cast<std::size_t>(c)] - lu[static_cast<std::size_t>(c)] / scale;
        if (!put_row(resWrite.get(), lu.data(), lv.w)) {
          std::puts("could not write to temporary file iofp21");
          return kErrShortIo;
        }
      }
      if (std::fflush(resWrite.get()) != 0) {
        std::puts("could not write to temporary file iofp21");
        return kErrShortIo;
      }
      // Restriction: each coarse row from its fine rows, written at the coarse level's offset.
      for (int i = 0; i < cv.h; ++i) {
        const FracTaps rt = restrict_row_taps(g, l, i);
        const float *rows[3];
        for (int a = 0; a < rt.count; ++a) {
          const int fr = std::min(rt.first + a, lv.h - 1);
          float *dst = fineRows.data() + static_cast<std::size_t>(a) * lv.w;
          if (!seek_to(resRead.get(), static_cast<std::int64_t>(fr) * lv.w)) return kErrOpen;
          if (!get_row(resRead.get(), dst, lv.w)) {
            std::puts("could not read from temporary file iofp22");
            return kErrShortIo;
          }
          rows[a] = dst;
        }
        restrict_row(g, l, i, rows, coarseRow.data());
        if (!seek_to(rhs.get(), next + static_cast<std::int64_t>(i) * cv.w)) return kErrOpen;
        if (!put_row(rhs.get(), coarseRow.data(), cv.w)) {
          std::printf("could not write to temporary file iofpRHS1 %dx%d\n", cv.w, cv.h);
          return kErrShortIo;
        }
      }
      if (std::fflush(rhs.get()) != 0) {
        std::printf("could not write to temporary file iofpRHS1 %dx%d\n", cv.w, cv.h);
        return kErrShortIo;
      }
      std::fill_n(u + next, cv.cells(), 0.0f);
    }
    for (int l = coarsest - 1; l >= 0; --l) {
      const LevelSize lv = g.levels[static_cast<std::size_t>(l)];
      const std::int64_t off = g.offsets[static_cast<std::size_t>(l)];
      prolong_add(g, l, u + g.offsets[static_cast<std::size_t>(l) + 1], u + off);
      const float scale = level_scale(W, H, lv.w, lv.h);
      if (int rc = relax_up(0, lv, scale, is360, off, u, 1, rhs.get(), nullptr); rc < 0) return rc;
    }
  }
  for (std::int64_t i = 0; i < N; ++i) pyramid[i] = std::exp(u[i]);

  // The compressed luminance replaces the right-hand side in the RHS file.
  rhsRead.reset();
  rhs.reset();
  File out = open_named(opt, 3, "wb", "iofpRHS2");
  if (!out) return kErrOpen;
  for (int r = 0; r < H; ++r) {
    if (!put_row(out.get(), pyramid + static_cast<std::int64_t>(r) * W, W)) {
      std::puts("could not write to temporary file iofpRHS2");
      return kErrShortIo;
    }
  }
  if (std::fclose(out.release()) != 0) {
    std::puts("could not write to temporary file iofpRHS2");
    return kErrShortIo;
  }
  return H;
}

}  // namespace
}  // namespace tmlib::stage2

extern "C" int calc_tm2old(DimParam dim, int minWidth, int minHeight, int64_t pyramidSize, int levels, int is360,
                           OptimParam opt, float *pyramid) {
  using namespace tmlib;
  using namespace tmlib::stage2;
  if (levels < 1) return kErrShortIo;
  const int W = dim.v[TMLIB_DIM_WIDTH];
  const int H = dim.v[TMLIB_DIM_HEIGHT];
  if (pyramid == nullptr) return kErrOpen;
  const WorkerCrew crew(opt.v[TMLIB_OPT_WORKERS]);  // four V-cycles of many relaxation rounds: reuse the workers
  try {
    GridHierarchy g;
    if (int rc = grid_hierarchy(W, H, minWidth, minHeight, levels, &g); rc < 0) return rc;
    // Every level's right-hand side (or, streamed, its solution) lives in the caller's buffer.
    if (g.total > pyramidSize) return kErrOpen;
    if (opt.v[TMLIB_OPT_READ_FROM_DISK] != 0) return multigrid_streamed(g, W, H, is360, opt, pyramid);
    return multigrid_in_memory(g, W, H, is360, clamp_workers(opt.v[TMLIB_OPT_WORKERS]), pyramid);
  } catch (const std::bad_alloc &) {
    return kErrNoMemory;
  }
}
