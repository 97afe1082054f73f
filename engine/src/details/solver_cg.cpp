// SPDX-License-Identifier: MIT
// Conjugate-gradient solve of the Poisson equation L x = b (tm20) and its kernels: the
// five-point operator with reflecting borders and the panorama wrap (tm20m and friends),
// the fused update and dot product (tm20a, tm20d), and the strip I/O of the streamed mode.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/checked_size.h"
#include "core/scratch_file.h"
#include "details/stage2.h"
#include "core/simd.h"
#include "core/status.h"
#include "core/tiling.h"

namespace {

using tmlib::kErrNoMemory;
using tmlib::kErrSolverFile;

// ---- the operator --------------------------------------------------------------------
//
// (L u)(cell) = sum of the neighbours - |Nb| * centre, in float32: the neighbours in the
// order of the relaxation kernels' table, then the centre subtracted once per neighbour.
// The row functions take the rows above and below explicitly so that the in-memory product,
// the banded workers and the streamed product (which reads copies) share one arithmetic.

inline float minus_centre(float s, float c, int times) {
  for (int t = 0; t < times; ++t) s = s - c;
  return s;
}

// Grids with a side of 1 have no table row; every cell takes the neighbours it has.
void laplace_row_degenerate(int w, int h, int r, const float *above, const float *cur, const float *below, float *out) {
  for (int c = 0; c < w; ++c) {
    float s = 0.0f;
    int nb = 0;
    if (c > 0) {
      s = s + cur[c - 1];
      ++nb;
    }
    if (c < w - 1) {
      s = s + cur[c + 1];
      ++nb;
    }
    if (r > 0) {
      s = s + above[c];
      ++nb;
    }
    if (r < h - 1) {
      s = s + below[c];
      ++nb;
    }
    out[c] = minus_centre(s, cur[c], nb);
  }
}

void laplace_top_row(int w, const float *cur, const float *below, float *out, bool is360, float pole) {
  if (!is360) {
    out[0] = minus_centre(cur[1] + below[0], cur[0], 2);
    for (int c = 1; c < w - 1; ++c) {
      float s = cur[c - 1] + cur[c + 1];
      s = s + below[c];
      out[c] = minus_centre(s, cur[c], 3);
    }
    out[w - 1] = minus_centre(cur[w - 2] + below[w - 1], cur[w - 1], 2);
    return;
  }
  // The top row of a panorama sees the pole as an extra neighbour. out may alias cur only
  // in the streamed product, which passes copies, so cur stays the old row here.
  {
    float s = pole + cur[w - 1];
    s = s + cur[1];
    s = s + below[0];
    out[0] = minus_centre(s, cur[0], 4);
  }
  for (int c = 1; c < w - 1; ++c) {
    float s = pole + cur[c - 1];
    s = s + cur[c + 1];
    s = s + below[c];
    out[c] = minus_centre(s, cur[c], 4);
  }
  {
    float s = pole + cur[w - 2];
    s = s + cur[0];
    s = s + below[w - 1];
    out[w - 1] = minus_centre(s, cur[w - 1], 4);
  }
}

void laplace_inner_row(int w, const float *above, const float *cur, const float *below, float *out, bool is360) {
  if (!is360) {
    float s = cur[1] + above[0];
    s = s + below[0];
    out[0] = minus_centre(s, cur[0], 3);
  } else {
    float s = above[0] + cur[w - 1];
    s = s + cur[1];
    s = s + below[0];
    out[0] = minus_centre(s, cur[0], 4);
  }
  for (int c = 1; c < w - 1; ++c) {
    float s = cur[c - 1] + cur[c + 1];
    s = s + above[c];
    s = s + below[c];
    const float centre = cur[c];
    s = s - centre;
    s = s - centre;
    s = s - centre;
    out[c] = s - centre;
  }
  if (!is360) {
    float s = cur[w - 2] + above[w - 1];
    s = s + below[w - 1];
    out[w - 1] = minus_centre(s, cur[w - 1], 3);
  } else {
    float s = cur[w - 2] + above[w - 1];
    s = s + cur[0];
    s = s + below[w - 1];
    out[w - 1] = minus_centre(s, cur[w - 1], 4);
  }
}

void laplace_last_row(int w, const float *above, const float *cur, float *out, bool is360) {
  if (!is360) {
    out[0] = minus_centre(cur[1] + above[0], cur[0], 2);
  } else {
    float s = cur[w - 1] + cur[1];
    s = s + above[0];
    out[0] = minus_centre(s, cur[0], 3);
  }
  for (int c = 1; c < w - 1; ++c) {
    float s = cur[c - 1] + cur[c + 1];
    s = s + above[c];
    out[c] = minus_centre(s, cur[c], 3);
  }
  if (!is360) {
    out[w - 1] = minus_centre(cur[w - 2] + above[w - 1], cur[w - 1], 2);
  } else {
    float s = cur[w - 2] + cur[0];
    s = s + above[w - 1];
    out[w - 1] = minus_centre(s, cur[w - 1], 3);
  }
}

// One whole row r of the product, reading rows r-1, r, r+1 through the given pointers.
void laplace_row(int w, int h, int r, bool is360, const float *above, const float *cur, const float *below, float pole,
                 float *out) {
  if (w < 2 || h < 2) {
    laplace_row_degenerate(w, h, r, above, cur, below, out);
  } else if (r == 0) {
    laplace_top_row(w, cur, below, out, is360, pole);
  } else if (r == h - 1) {
    laplace_last_row(w, above, cur, out, is360);
  } else {
    laplace_inner_row(w, above, cur, below, out, is360);
  }
}

// ---- update and dot product ----------------------------------------------------------

TMLIB_FMA_KERNEL void axpy_kernel(std::int64_t n, const float *y, float a, const float *x, float *z) {
  for (std::int64_t i = 0; i < n; ++i) z[i] = tmlib::fmaf32(a, x[i], y[i]);
}

TMLIB_FMA_KERNEL float dot_kernel(std::int64_t n, const float *x, const float *y) {
  float s = 0.0f;
  for (std::int64_t i = 0; i < n; ++i) s = tmlib::fmaf32(x[i], y[i], s);
  return s;
}

// x <- x + a p, r <- r - a t and the sum of r*r over the chunk, in one pass: the same fused
// operations, in the same order, as tm20a twice and tm20d on the same chunk, so the solve
// gives the same bits while sparing a pass over memory and two thread rounds per iteration.
TMLIB_FMA_KERNEL float step_kernel(std::int64_t n, float a, const float *p, const float *t, float *x, float *r) {
  float s = 0.0f;
  for (std::int64_t i = 0; i < n; ++i) {
    x[i] = tmlib::fmaf32(a, p[i], x[i]);
    const float ri = tmlib::fmaf32(-a, t[i], r[i]);
    r[i] = ri;
    s = tmlib::fmaf32(ri, ri, s);
  }
  return s;
}

// One step of the iteration over the workers' chunks; returns r.r with the chunk sums added
// in worker order, as tm20d does. The updates are in place, so a worker that cannot be
// started has its chunk done on this thread, never a chunk twice.
float cg_step(int workers, std::int64_t n, float alpha, const float *p, const float *t, float *x, float *r) {
  workers = tmlib::clamp_workers(workers);
  if (workers <= 1) return step_kernel(n, alpha, p, t, x, r);
  float partial[tmlib::kMaxWorkers] = {};
  tmlib::run_workers_finishing_inline(workers, [&](int k) {
    const tmlib::Chunk c = tmlib::vector_chunk(n, workers, k);
    if (c.count > 0) partial[k] = step_kernel(c.count, alpha, p + c.start, t + c.start, x + c.start, r + c.start);
  });
  float s = 0.0f;
  for (int k = 0; k < workers; ++k) s = s + partial[k];
  return s;
}

// Files of the streamed solve, closed on every way out.
using tmlib::scratch::File;
File open_file(const char *path, const char *mode) { return tmlib::scratch::open(path, mode); }

const char *printable(const char *path) { return path != nullptr ? path : "(null)"; }

int tm20_streamed(int width, int height, int maxIter, float tolerance, int is360, int streamMode, const char *pathIn,
                  const char *pathX, const char *pathP, const char *pathR, const char *pathT, std::int64_t inOffset,
                  float *x) {
  const std::int64_t n = static_cast<std::int64_t>(width) * height;
  const int strips = streamMode == 1 ? 2 : 1;
  const std::int64_t stripLen = n / strips;
  const std::int64_t maxStrip = n - stripLen * (strips - 1);
  auto stripStart = [&](int s) { return stripLen * s; };
  auto stripCount = [&](int s) { return s == strips - 1 ? n - stripLen * s : stripLen; };
  // The x buffer is the scratch space: a strip pair side by side, or one whole vector.
  float *const a = x;
  float *const b = x + maxStrip;

  // The right-hand side is read at inOffset + strip start: an offset from which the level
  // would run past any file position is a file failure, not an overflowing sum.
  if (inOffset < 0 || inOffset > INT64_MAX / 4 - n) return kErrSolverFile;

  File fX = open_file(pathX, "wb+");
  if (!fX) {
    std::printf("can not open temporary file in tm20 %s\n", printable(pathX));
    return kErrSolverFile;
  }
  File fR = open_file(pathR, "wb+");
  if (!fR) {
    std::printf("can not open temporary file R in tm20 %s\n", printable(pathR));
    return kErrSolverFile;
  }
  File fP = open_file(pathP, "wb+");
  if (!fP) {
    std::printf("can not open temporary file P in tm20 %s\n", printable(pathP));
    return kErrSolverFile;
  }
  File fT = open_file(pathT, "wb+");
  if (!fT) {
    std::printf("can not open temporary file T in tm20 %s\n", printable(pathT));
    return kErrSolverFile;
  }
  File fIn = open_file(pathIn, "rb");
  if (!fIn) {
    std::printf("can not open temporary file In in tm20 %s\n", printable(pathIn));
    return kErrSolverFile;
  }

  int rc;
#define TM20_IO(expr)      \
  do {                     \
    rc = (expr);           \
    if (rc < 0) return rc; \
  } while (0)

  // r = b - L x, p = r.
  TM20_IO(write_strip(fX.get(), 0, n, x));
  TM20_IO(tm20m_streaming(width, height, is360, x));
  TM20_IO(write_strip(fT.get(), 0, n, x));
  for (int s = 0; s < strips; ++s) {
    const std::int64_t st = stripStart(s), cnt = stripCount(s);
    TM20_IO(read_strip(fIn.get(), inOffset + st, cnt, a));
    TM20_IO(read_strip(fT.get(), st, cnt, b));
    for (std::int64_t i = 0; i < cnt; ++i) a[i] = a[i] - b[i];
    TM20_IO(write_strip(fR.get(), st, cnt, a));
  }
  TM20_IO(read_strip(fR.get(), 0, n, x));
  TM20_IO(write_strip(fP.get(), 0, n, x));
  float rho = 0.0f;
  tm20d_orig(n, x, x, &rho);
  const float rho0 = rho;
  const float stopBelow = tolerance * rho0;

  int i = 0;
  [[maybe_unused]] int cntRemonte = 0;
  for (; i < maxIter; ++i) {
    TM20_IO(read_strip(fP.get(), 0, n, x));
    TM20_IO(tm20m_streaming(width, height, is360, x));
    TM20_IO(write_strip(fT.get(), 0, n, x));
    float d = 0.0f;
    for (int s = 0; s < strips; ++s) {
      const std::int64_t st = stripStart(s), cnt = stripCount(s);
      TM20_IO(read_strip(fT.get(), st, cnt, a));
      TM20_IO(read_strip(fP.get(), st, cnt, b));
      float part = 0.0f;
      tm20d_orig(cnt, a, b, &part);
      d = d + part;
    }
    if (d == 0.0f) break;
    const float alpha = rho / d;
    for (int s = 0; s < strips; ++s) {
      const std::int64_t st = stripStart(s), cnt = stripCount(s);
      TM20_IO(read_strip(fX.get(), st, cnt, a));
      TM20_IO(read_strip(fP.get(), st, cnt, b));
      tm20a_orig(cnt, a, alpha, b, a);
      TM20_IO(write_strip(fX.get(), st, cnt, a));
      TM20_IO(read_strip(fR.get(), st, cnt, a));
      TM20_IO(read_strip(fT.get(), st, cnt, b));
      tm20a_orig(cnt, a, -alpha, b, a);
      TM20_IO(write_strip(fR.get(), st, cnt, a));
    }
    TM20_IO(read_strip(fR.get(), 0, n, x));
    float rhoNew = 0.0f;
    tm20d_orig(n, x, x, &rhoNew);
    if (rhoNew < stopBelow) break;
    if (rhoNew > rho) ++cntRemonte;
    const float beta = rhoNew / rho;
    for (int s = 0; s < strips; ++s) {
      const std::int64_t st = stripStart(s), cnt = stripCount(s);
      TM20_IO(read_strip(fR.get(), st, cnt, a));
      TM20_IO(read_strip(fP.get(), st, cnt, b));
      tm20a_orig(cnt, a, beta, b, b);
      TM20_IO(write_strip(fP.get(), st, cnt, b));
    }
    rho = rhoNew;
  }
  TM20_IO(read_strip(fX.get(), 0, n, x));
#undef TM20_IO
  return i;
}

int tm20_in_memory(int width, int height, int maxIter, float tolerance, int is360, int workers, float *b, float *x) {
  const std::int64_t n = static_cast<std::int64_t>(width) * height;
  auto r = tmlib::try_new<float>(n);
  auto t = tmlib::try_new<float>(n);
  if (!r || !t) return kErrNoMemory;
  float *const p = b;  // b serves as the search direction from here on

  tm20m(workers, width, height, is360, x, t.get());
  for (std::int64_t k = 0; k < n; ++k) r[k] = b[k] - t[k];
  std::memcpy(p, r.get(), static_cast<std::size_t>(n) * sizeof(float));
  float rho = 0.0f;
  tm20d(workers, n, r.get(), r.get(), &rho);
  const float rho0 = rho;
  const float stopBelow = tolerance * rho0;

  int i = 0;
  [[maybe_unused]] int cntRemonte = 0;
  for (; i < maxIter; ++i) {
    tm20m(workers, width, height, is360, p, t.get());
    float d = 0.0f;
    tm20d(workers, n, p, t.get(), &d);
    if (d == 0.0f) break;  // breakdown: keep the current x
    const float alpha = rho / d;
    // x = x + alpha p; r = r - alpha T; rho' = r.r
    const float rhoNew = cg_step(workers, n, alpha, p, t.get(), x, r.get());
    if (rhoNew < stopBelow) break;
    if (rhoNew > rho) ++cntRemonte;
    tm20a(workers, n, r.get(), rhoNew / rho, p, p);
    rho = rhoNew;
  }
  return i;
}

}  // namespace

namespace tmlib::stage2 {

void laplace_rows(int width, int height, int is360, const float *in, int firstRow, int rowCount, float *out) {
  if (width < 1 || height < 1) return;
  const std::int64_t w = width;
  const float pole = in[width / 2];
  for (int r = firstRow; r < firstRow + rowCount && r < height; ++r) {
    const float *cur = in + r * w;
    laplace_row(width, height, r, is360 != 0, r > 0 ? cur - w : nullptr, cur, r < height - 1 ? cur + w : nullptr, pole,
                out + (r - firstRow) * w);
  }
}

}  // namespace tmlib::stage2

namespace {

// Argument records of the workers, one per worker, owned by the spawning call.
struct Tm20miTask {
  int width, height, is360;
  const float *in;
  float *out;
  int index, nbProc;
};

struct Tm20aTask {
  std::int64_t n;
  float a;
  const float *y, *x;
  float *z;
  int index, nbProc;
};

struct Tm20dTask {
  std::int64_t n;
  const float *x, *y;
  float *partial;
  int index, nbProc;
};

void tm20mi_threaded(const Tm20miTask *t) {
  const tmlib::RowBand band = tmlib::halo_band(t->height, t->nbProc, t->index);
  if (band.rows == 0) return;
  tm20mi_orig(t->width, band.rows, t->is360, static_cast<std::int64_t>(band.start) * t->width, t->in, t->out);
}

void tm20a_threaded(const Tm20aTask *t) {
  const tmlib::Chunk c = tmlib::vector_chunk(t->n, t->nbProc, t->index);
  if (c.count > 0) axpy_kernel(c.count, t->y + c.start, t->a, t->x + c.start, t->z + c.start);
}

void tm20d_threaded(const Tm20dTask *t) {
  const tmlib::Chunk c = tmlib::vector_chunk(t->n, t->nbProc, t->index);
  t->partial[t->index] = c.count > 0 ? dot_kernel(c.count, t->x + c.start, t->y + c.start) : 0.0f;
}

}  // namespace

extern "C" {

void tm20mi_orig(int width, int rows, int is360, int64_t offset, const float *in, float *out) {
  if (width < 2) return;
  for (int r = 1; r <= rows - 2; ++r) {
    const std::int64_t at = offset + static_cast<std::int64_t>(r) * width;
    laplace_inner_row(width, in + at - width, in + at, in + at + width, out + at, is360 != 0);
  }
}

void tm20mi(int workers, int width, int height, int is360, const float *in, float *out) {
  if (width < 2 || height < 3) return;
  workers = tmlib::clamp_workers(workers);
  Tm20miTask tasks[tmlib::kMaxWorkers];
  for (int k = 0; k < workers; ++k) tasks[k] = {width, height, is360, in, out, k, workers};
  // Out of place: when a thread cannot be created the whole level is simply done again.
  tmlib::run_workers(
      workers, [&](int k) { tm20mi_threaded(&tasks[k]); }, [&] { tm20mi_orig(width, height, is360, 0, in, out); });
}

void tm20m(int workers, int width, int height, int is360, const float *in, float *out) {
  if (width < 1 || height < 1) return;
  const std::int64_t w = width;
  const bool wrap = is360 != 0;
  if (width < 2 || height < 2) {
    for (int r = 0; r < height; ++r) {
      const float *cur = in + r * w;
      laplace_row(width, height, r, wrap, r > 0 ? cur - w : nullptr, cur, r < height - 1 ? cur + w : nullptr, 0.0f,
                  out + r * w);
    }
    return;
  }
  const float pole = in[width / 2];
  laplace_row(width, height, 0, wrap, nullptr, in, in + w, pole, out);
  tm20mi(workers, width, height, is360, in, out);
  const std::int64_t last = (height - 1) * w;
  laplace_row(width, height, height - 1, wrap, in + last - w, in + last, nullptr, pole, out + last);
}

int tm20m_streaming(int width, int height, int is360, float *vector) {
  if (width < 1 || height < 1) return 0;
  const std::int64_t w = width;
  auto rows = tmlib::try_new<float>(3 * w);
  if (!rows) return kErrNoMemory;
  // Rolling copies of the old rows r-1, r and r+1; row r is overwritten once its old values
  // are safe in the copy.
  float *prev = rows.get();
  float *cur = rows.get() + w;
  float *next = rows.get() + 2 * w;
  std::memcpy(cur, vector, static_cast<std::size_t>(w) * sizeof(float));
  const float pole = cur[width / 2];
  for (int r = 0; r < height; ++r) {
    const bool hasNext = r < height - 1;
    if (hasNext) std::memcpy(next, vector + (r + 1) * w, static_cast<std::size_t>(w) * sizeof(float));
    laplace_row(width, height, r, is360 != 0, r > 0 ? prev : nullptr, cur, hasNext ? next : nullptr, pole,
                vector + r * w);
    float *spare = prev;
    prev = cur;
    cur = next;
    next = spare;
  }
  return 0;
}

void tm20a_orig(int64_t n, const float *y, float a, const float *x, float *z) {
  if (n > 0) axpy_kernel(n, y, a, x, z);
}

void tm20d_orig(int64_t n, const float *x, const float *y, float *result) {
  *result = n > 0 ? dot_kernel(n, x, y) : 0.0f;
}

void tm20a(int workers, int64_t n, const float *y, float a, const float *x, float *z) {
  if (n <= 0) return;
  workers = tmlib::clamp_workers(workers);
  // z may be y or x (x <- x + a p): a chunk must never be updated twice, so a failed thread
  // creation finishes the chunks of the workers that were not started on this thread.
  Tm20aTask tasks[tmlib::kMaxWorkers];
  for (int k = 0; k < std::max(workers, 1); ++k) tasks[k] = {n, a, y, x, z, k, workers};
  const tmlib::RunMode mode = tmlib::run_workers_finishing_inline(workers, [&](int k) { tm20a_threaded(&tasks[k]); });
  if (mode == tmlib::RunMode::kFellBack) {
    std::printf("*************   tm20a  error tm20a_threaded: %d  ***************\n", tmlib::last_creation_error());
  }
}

void tm20d(int workers, int64_t n, const float *x, const float *y, float *result) {
  if (n <= 0) {
    *result = 0.0f;
    return;
  }
  workers = tmlib::clamp_workers(workers);
  float partial[tmlib::kMaxWorkers] = {};
  Tm20dTask tasks[tmlib::kMaxWorkers];
  for (int k = 0; k < workers; ++k) tasks[k] = {n, x, y, partial, k, workers};
  float whole = 0.0f;
  const tmlib::RunMode mode = tmlib::run_workers(
      workers, [&](int k) { tm20d_threaded(&tasks[k]); }, [&] { whole = dot_kernel(n, x, y); });
  if (mode != tmlib::RunMode::kThreaded) {
    *result = whole;
    return;
  }
  float s = 0.0f;
  for (int k = 0; k < workers; ++k) s = s + partial[k];
  *result = s;
}

// A start whose byte position does not fit the file offset cannot be reached: refused like
// a failed positioning, before the product overflows.
int write_strip(FILE *file, int64_t start, int64_t count, const float *buffer) {
  if (count < 0 || !tmlib::scratch::seek_element(file, start)) return kErrSolverFile;
  const std::size_t written = std::fwrite(buffer, sizeof(float), static_cast<std::size_t>(count), file);
  if (written != static_cast<std::size_t>(count) || std::fflush(file) != 0) {
    std::printf("could not write to temporary file in tm20 - - returned %d instead of 4 \n", static_cast<int>(written));
    return kErrSolverFile;
  }
  return 0;
}

int read_strip(FILE *file, int64_t start, int64_t count, float *buffer) {
  if (count < 0 || !tmlib::scratch::seek_element(file, start)) return kErrSolverFile;
  const std::size_t got = std::fread(buffer, sizeof(float), static_cast<std::size_t>(count), file);
  if (got != static_cast<std::size_t>(count)) {
    std::printf("can not read temporary file - returned %d instead of 4 in tm20\n", static_cast<int>(got));
    return kErrSolverFile;
  }
  return 0;
}

int tm20(int width, int height, int maxIter, float tolerance, int is360, int workers, int streamMode,
         const char *pathIn, const char *pathX, const char *pathP, const char *pathR, const char *pathT,
         int64_t inOffset, float *b, float *x) {
  if (width < 1 || height < 1) return 0;
  try {
    if (streamMode >= 1) {
      return tm20_streamed(width, height, maxIter, tolerance, is360, streamMode, pathIn, pathX, pathP, pathR, pathT,
                           inOffset, x);
    }
    const tmlib::WorkerCrew crew(workers);  // a few rounds per iteration: reuse the workers
    return tm20_in_memory(width, height, maxIter, tolerance, is360, workers, b, x);
  } catch (const std::bad_alloc &) {
    return kErrNoMemory;
  }
}

}  // extern "C"
