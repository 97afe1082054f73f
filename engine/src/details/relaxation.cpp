// SPDX-License-Identifier: MIT
// Red-black Gauss-Seidel relaxation of the five-point Laplacian: the smoother of the
// discrete-levels Poisson solve. Borders reflect (a missing neighbour is left out and the
// weight grows), a 360-degree panorama wraps horizontally and joins its top row at one
// pole cell. Every neighbour of a cell has the other colour, except the pole, so the cells
// of one colour can be relaxed in any order or concurrently with the same result; the top
// row, which may read the pole after updating it, always runs left to right on one thread.
#include "core/checked_size.h"
#include "tmlib/blur.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "details/relaxation_kernels.h"
#include "core/simd.h"
#include "core/status.h"
#include "core/tiling.h"

namespace tmlib {
namespace {

// Grids below this many cells stay on the calling thread: threads cost more than they save.
constexpr std::int64_t kThreadedMinCells = 1200;

// The weight of a three-neighbour cell is applied in double with this exact decimal (not
// 1/3) and rounded back, as the smoother has always done.
inline float third(float v) { return static_cast<float>(static_cast<double>(v) * 0.3333); }

// Row 0. Cells c = firstCol, firstCol + 2, ... left to right; `below` is row 1.
TMLIB_FMA_KERNEL void relax_top_row(float *row, const float *below, const float *rhsRow, int width, float scale,
                                    int is360, int firstCol) {
  const int last = width - 1;
  if (is360) {
    // Every cell of the top row also sees the pole, read afresh each time: it may have
    // been relaxed earlier in this very pass.
    const float *pole = row + width / 2;
    for (int c = firstCol; c < width; c += 2) {
      const float left = row[c == 0 ? last : c - 1];
      const float right = row[c == last ? 0 : c + 1];
      float s = *pole + left;
      s = s + right;
      s = s + below[c];
      row[c] = fmsf32(scale, rhsRow[c], s) * 0.25f;
    }
    return;
  }
  for (int c = firstCol; c < width; c += 2) {
    if (c == 0) {
      const float s = row[1] + below[0];
      row[0] = fmsf32(scale, rhsRow[0], s) * 0.5f;
    } else if (c == last) {
      const float s = row[c - 1] + below[c];
      row[c] = fmsf32(scale, rhsRow[c], s) * 0.5f;
    } else {
      float s = row[c - 1] + row[c + 1];
      s = s + below[c];
      row[c] = third(fmsf32(scale, rhsRow[c], s));
    }
  }
}

// An inner row: the hot loop. Cells c = firstCol, firstCol + 2, ...
TMLIB_FMA_KERNEL void relax_inner_row(float *row, const float *above, const float *below, const float *rhsRow,
                                      int width, float scale, int is360, int firstCol) {
  const int last = width - 1;
  int c = firstCol;
  if (c == 0) {
    if (is360) {
      float s = above[0] + row[last];
      s = s + row[1];
      s = s + below[0];
      row[0] = fmsf32(scale, rhsRow[0], s) * 0.25f;
    } else {
      float s = row[1] + above[0];
      s = s + below[0];
      row[0] = third(fmsf32(scale, rhsRow[0], s));
    }
    c = 2;
  }
  for (; c < last; c += 2) {
    float s = row[c - 1] + row[c + 1];
    s = s + above[c];
    s = s + below[c];
    row[c] = fmsf32(scale, rhsRow[c], s) * 0.25f;
  }
  if (c == last) {
    if (is360) {
      float s = row[c - 1] + above[c];
      s = s + row[0];
      s = s + below[c];
      row[c] = fmsf32(scale, rhsRow[c], s) * 0.25f;
    } else {
      float s = row[c - 1] + above[c];
      s = s + below[c];
      row[c] = third(fmsf32(scale, rhsRow[c], s));
    }
  }
}

// The last row: no cell below, and no pole even in a panorama.
TMLIB_FMA_KERNEL void relax_last_row(float *row, const float *above, const float *rhsRow, int width, float scale,
                                     int is360, int firstCol) {
  const int last = width - 1;
  for (int c = firstCol; c < width; c += 2) {
    if (c == 0) {
      if (is360) {
        float s = row[last] + row[1];
        s = s + above[0];
        row[0] = third(fmsf32(scale, rhsRow[0], s));
      } else {
        const float s = row[1] + above[0];
        row[0] = fmsf32(scale, rhsRow[0], s) * 0.5f;
      }
    } else if (c == last) {
      if (is360) {
        float s = row[c - 1] + row[0];
        s = s + above[c];
        row[c] = third(fmsf32(scale, rhsRow[c], s));
      } else {
        const float s = row[c - 1] + above[c];
        row[c] = fmsf32(scale, rhsRow[c], s) * 0.5f;
      }
    } else {
      float s = row[c - 1] + row[c + 1];
      s = s + above[c];
      row[c] = third(fmsf32(scale, rhsRow[c], s));
    }
  }
}

// First column of colour `parity` in grid row r: (r + c) has the parity of the colour.
inline int first_column(int parity, std::int64_t row) { return static_cast<int>((parity + row) & 1); }

bool relaxable(int width, int height) { return width >= 2 && height >= 2; }

// Where blur1 finds each row's right-hand side: the caller's buffer, or one row buffer
// refilled from the temporary file before every row.
class RhsRows {
 public:
  RhsRows(const float *rhs, std::int64_t offset, int width) : mem_(rhs), offset_(offset), width_(width) {}
  RhsRows(std::FILE *file, float *buffer, std::int64_t offset, int width)
      : file_(file), buffer_(buffer), offset_(offset), width_(width) {}

  // Back to the grid's first value, at the start of each half-sweep.
  int rewind() {
    if (file_ == nullptr) return kOk;
    if (offset_ < 0 || offset_ > INT64_MAX / 4) return kErrOpen;
    return fseeko(file_, static_cast<off_t>(offset_ * 4), SEEK_SET) == 0 ? kOk : kErrOpen;
  }

  // Row r's values, or nullptr when the file runs short. Rows are asked for in order.
  const float *row(int r) {
    if (file_ == nullptr) return mem_ + offset_ + static_cast<std::int64_t>(r) * width_;
    if (std::fread(buffer_, sizeof(float), static_cast<std::size_t>(width_), file_) !=
        static_cast<std::size_t>(width_)) {
      return nullptr;
    }
    return buffer_;
  }

 private:
  const float *mem_ = nullptr;
  std::FILE *file_ = nullptr;
  float *buffer_ = nullptr;
  std::int64_t offset_ = 0;
  int width_ = 0;
};

int short_read() {
  std::fputs("could not read from temporary file iofp11\n", stdout);
  return kErrShortIo;
}

// One half-sweep of colour `parity` over the whole grid on the calling thread.
int half_sweep_sequential(int parity, int width, int height, float scale, int is360, float *grid, RhsRows &rows) {
  if (int r = rows.rewind(); r != kOk) return r;
  const std::int64_t w = width;
  const float *rhsRow = rows.row(0);
  if (rhsRow == nullptr) return short_read();
  relax_top_row(grid, grid + w, rhsRow, width, scale, is360, parity);
  for (int r = 1; r < height - 1; ++r) {
    rhsRow = rows.row(r);
    if (rhsRow == nullptr) return short_read();
    float *row = grid + w * r;
    relax_inner_row(row, row - w, row + w, rhsRow, width, scale, is360, first_column(parity, r));
  }
  rhsRow = rows.row(height - 1);
  if (rhsRow == nullptr) return short_read();
  float *row = grid + w * (height - 1);
  relax_last_row(row, row - w, rhsRow, width, scale, is360, first_column(parity, height - 1));
  return kOk;
}

}  // namespace

void blur2i_orig(int parity, int width, int rows, float scale, int is360, std::int64_t offset, float *u,
                 const float *rhs) {
  if (width < 2) return;
  const std::int64_t w = width;
  for (int r = 1; r < rows - 1; ++r) {
    float *row = u + offset + w * r;
    relax_inner_row(row, row - w, row + w, rhs + offset + w * r, width, scale, is360, first_column(parity, r));
  }
}

void blur2i_threaded(const BlurTileTask *task) {
  const RowBand band = halo_band(task->height, task->nbProc, task->index);
  if (band.rows == 0) return;
  // The kernel colours by local row: a band starting on an odd row flips its colour.
  const int parity = (band.start & 1) ? 1 - task->parity : task->parity;
  blur2i_orig(parity, task->width, band.rows, task->scale, task->is360,
              task->offset + static_cast<std::int64_t>(band.start) * task->width, task->u, task->rhs);
}

void blur2i(int nbProc, int parity, int width, int height, float scale, int is360, std::int64_t offset, float *u,
            const float *rhs) {
  if (!relaxable(width, height)) return;
  const int workers = clamp_workers(nbProc);
  if (workers < 2) {
    blur2i_orig(parity, width, height, scale, is360, offset, u, rhs);
    return;
  }
  BlurTileTask tasks[kMaxWorkers];
  for (int k = 0; k < workers; ++k) tasks[k] = {width, height, scale, offset, is360, parity, u, rhs, k, workers};
  // A band must not be relaxed twice: on a 360-degree grid of odd width the first and last
  // columns have the same colour and are neighbours, so a second pass over a band reads
  // cells the first pass changed. When a thread cannot be created the calling thread
  // finishes only the bands whose worker never started.
  run_workers_finishing_inline(workers, [&](int k) { blur2i_threaded(&tasks[k]); });
}

}  // namespace tmlib

extern "C" {

int blur1(int width, int height, float scale, int iterations, int is360, int64_t offset, float *u, int readFromDisk,
          FILE *rhsFile, const float *rhs) {
  using namespace tmlib;
  if (iterations <= 0 || !relaxable(width, height)) return 1;
  std::unique_ptr<float[]> buffer;
  if (readFromDisk) {
    if (rhsFile == nullptr) return kErrOpen;
    buffer = try_new<float>(width);
    if (!buffer) return kErrNoMemory;
  }
  RhsRows rows = readFromDisk ? RhsRows(rhsFile, buffer.get(), offset, width) : RhsRows(rhs, offset, width);
  float *grid = u + offset;
  for (int it = 0; it < iterations; ++it) {
    for (int parity = 0; parity < 2; ++parity) {
      // A failure keeps the updates done so far: the caller sees a partly relaxed grid.
      if (int r = half_sweep_sequential(parity, width, height, scale, is360, grid, rows); r != kOk) return r;
    }
  }
  return 1;
}

int blur2(int nbProc, int width, int height, float scale, int iterations, int is360, int64_t offset, float *u,
          const float *rhs) {
  using namespace tmlib;
  if (iterations <= 0 || !relaxable(width, height)) return 1;
  const WorkerCrew crew(nbProc);  // two rounds per iteration: reuse the workers
  const std::int64_t w = width;
  float *grid = u + offset;
  const float *rhsGrid = rhs + offset;
  float *lastRow = grid + w * (height - 1);
  const float *lastRhs = rhsGrid + w * (height - 1);
  for (int it = 0; it < iterations; ++it) {
    for (int parity = 0; parity < 2; ++parity) {
      // Border rows on the calling thread, between the workers' interior passes.
      relax_top_row(grid, grid + w, rhsGrid, width, scale, is360, parity);
      blur2i(nbProc, parity, width, height, scale, is360, offset, u, rhs);
      relax_last_row(lastRow, lastRow - w, lastRhs, width, scale, is360, first_column(parity, height - 1));
    }
  }
  return 1;
}

int blur0(int nbProc, int width, int height, float scale, int iterations, int is360, int64_t offset, float *u,
          int readFromDisk, FILE *rhsFile, const float *rhs) {
  using namespace tmlib;
  if (iterations <= 0) return 1;
  // The threaded kernel works in memory only: a right-hand side that lives in a file is
  // always streamed by blur1, whatever the worker count.
  if (nbProc > 1 && !readFromDisk && static_cast<std::int64_t>(width) * height > kThreadedMinCells) {
    return blur2(nbProc, width, height, scale, iterations, is360, offset, u, rhs);
  }
  return blur1(width, height, scale, iterations, is360, offset, u, readFromDisk, rhsFile, rhs);
}

}  // extern "C"
