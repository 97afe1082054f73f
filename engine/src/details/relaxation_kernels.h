// SPDX-License-Identifier: MIT
// Internal half of the relaxation family: the interior half-sweep and its row kernel,
// used by blur2 and reachable by the solver and the tests.
#pragma once

#include <cstdint>

namespace tmlib {

// The argument record of one interior worker: the half-sweep's arguments and the worker's
// place in the split. Workers only read it.
struct BlurTileTask {
  int width;
  int height;
  float scale;
  std::int64_t offset;
  int is360;
  int parity;
  float *u;
  const float *rhs;
  int index;
  int nbProc;
};

// One half-sweep of the interior rows (1 .. height-2) of the grid at `offset`: the cells of
// colour `parity` ((row + column) even for 0, odd for 1). nbProc >= 2 splits the rows into
// halo bands over that many workers (at most 32; workers beyond the rows get none); when a
// worker cannot be created the calling thread relaxes the bands of the workers that never
// started, so every band is relaxed exactly once. Grids narrower or lower than 2 cells are
// left alone.
void blur2i(int nbProc, int parity, int width, int height, float scale, int is360, std::int64_t offset, float *u,
            const float *rhs);

// Worker entry: relaxes the band of task->index among task->nbProc halo bands. A band that
// starts on an odd grid row passes the opposite parity, so colours stay global.
void blur2i_threaded(const BlurTileTask *task);

// Row kernel over a band of `rows` rows starting at element `offset`: updates the cells of
// local colour `parity` in local rows 1 .. rows-2; rows 0 and rows-1 are read only.
void blur2i_orig(int parity, int width, int rows, float scale, int is360, std::int64_t offset, float *u,
                 const float *rhs);

}  // namespace tmlib
