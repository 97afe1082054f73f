// SPDX-License-Identifier: MIT
// The pyramids of exposure fusion: their geometry, the 5-tap reduction, and the two passes over
// a level (adding a frame's band, collapsing the result) that expand the coarser level row by
// row instead of storing it.
//
// A level holds `planes` planes of w x h floats, one after the other: the colour channels, then
// the weight. Every pass splits the rows of the level it writes among the workers with the
// engine's tiling helper; a worker writes only its own rows, so any worker count gives the same
// bits.
#pragma once

#include <cstdint>

namespace tmlib::fusion {

constexpr int kMaxLevels = 24;

struct Level {
  int w = 0;
  int h = 0;
  std::int64_t offset = 0;  // of the level's first plane in the accumulator, in floats
  std::int64_t cells() const { return std::int64_t(w) * h; }
};

struct Layout {
  int channels = 0;  // 1 or 3
  int planes = 0;    // channels + 1 (the weight)
  int levels = 0;
  Level level[kMaxLevels];
  std::int64_t accum_floats = 0;
  std::int64_t scratch_floats = 0;
  std::int64_t second_offset = 0;  // of the scratch's second level buffer, in floats
};

// False when a side is below 1, channels is not 1 or 3, or a size cannot be represented.
bool make_layout(int width, int height, int channels, Layout &out);

// One level's planes somewhere in memory.
struct Planes {
  float *base = nullptr;
  int w = 0;
  int h = 0;
  int planes = 0;
  std::int64_t cells() const { return std::int64_t(w) * h; }
  float *plane(int p) const { return base + std::int64_t(p) * w * h; }
  float *row(int p, int y) const { return plane(p) + std::int64_t(y) * w; }
};

// Every plane of `fine` low-passed with [1 4 6 4 1] / 16 both ways (mirrored at the edges) and
// halved into `coarse`, whose size is ((w + 1) / 2, (h + 1) / 2).
bool reduce(const Planes &fine, const Planes &coarse, int workers);

// Adds one frame's band at a level: for every colour plane c, acc[c] += w * (g[c] - expand(
// gcoarse[c])), and acc[weight] += w, with w the frame's weight plane at this level. With no
// coarser level (the top of the pyramid) the Gaussian level itself is added.
bool add_band(const Planes &g, const Planes *gcoarse, const Planes &acc, int workers);

// Collapses a level in place: colour planes become acc[c] / acc[weight] x gain + expand(coarse[c])
// (coarse already collapsed); at the top of the pyramid (coarse null) acc[c] / acc[weight].
bool collapse(const Planes &acc, const Planes *coarse, float gain, int workers);

}  // namespace tmlib::fusion
