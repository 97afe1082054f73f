// SPDX-License-Identifier: MIT
#include "fusion/pyramid.h"

#include <algorithm>
#include <new>
#include <vector>

#include "core/checked_size.h"
#include "core/tiling.h"

namespace tmlib::fusion {
namespace {

// Stops the pyramid once its shorter side is this small: the top level then mixes the frames
// over the whole picture, which keeps the overall tonality of a natural photograph.
constexpr int kTopSide = 4;

int mirror(int i, int n) {
  if (n == 1) return 0;
  if (i < 0) i = -i;
  if (i >= n) i = 2 * n - 2 - i;
  return std::clamp(i, 0, n - 1);
}

int clampi(int i, int n) { return std::clamp(i, 0, n - 1); }

// Per-worker rows, allocated before the workers start so that no worker can fail.
struct RowPool {
  std::vector<float> data;
  int width = 0;
  bool make(int workers, int w) {
    width = w;
    try {
      data.assign(std::size_t(std::max(workers, 1)) * std::size_t(w), 0.0f);
    } catch (const std::bad_alloc &) {
      return false;
    }
    return true;
  }
  float *row(int k) { return data.data() + std::size_t(k) * std::size_t(width); }
};

template <typename Body>
void for_rows(int height, int workers, Body &&body) {
  const int P = std::max(1, workers);
  run_workers_finishing_inline(P, [&](int k) {
    const RowBand b = pointwise_band(height, P, k);
    for (int y = b.start; y < b.start + b.rows; ++y) body(k, y);
  });
}

// The expansion of one coarse row pair into a fine row: vertically the rows around y / 2 with
// [1 6 1] / 8 (even y) or [1 1] / 2 (odd y), clamped at the edges, into t; then horizontally
// the same weights into out (width w).
void expand_row(const float *coarse, int cw, int ch, int y, float *t, int w, float *out) {
  if ((y & 1) == 0) {
    const int c = y / 2;
    const float *a = coarse + std::int64_t(clampi(c - 1, ch)) * cw;
    const float *m = coarse + std::int64_t(clampi(c, ch)) * cw;
    const float *b = coarse + std::int64_t(clampi(c + 1, ch)) * cw;
    for (int x = 0; x < cw; ++x) t[x] = 0.125f * (a[x] + b[x]) + 0.75f * m[x];
  } else {
    const float *a = coarse + std::int64_t(clampi((y - 1) / 2, ch)) * cw;
    const float *b = coarse + std::int64_t(clampi((y + 1) / 2, ch)) * cw;
    for (int x = 0; x < cw; ++x) t[x] = 0.5f * (a[x] + b[x]);
  }
  // Even pixels take [1 6 1] / 8 around t[x / 2], odd ones [1 1] / 2; the interior without
  // clamping, so that the compiler can vectorise it.
  auto T = [&](int i) { return t[clampi(i, cw)]; };
  const int evens = (w + 1) / 2, odds = w / 2;
  const int evenEnd = std::min(evens, cw - 1), oddEnd = std::min(odds, cw - 1);
  out[0] = 0.125f * (T(-1) + T(1)) + 0.75f * t[0];
  int c = 1;
  for (; c < evenEnd; ++c) out[2 * c] = 0.125f * (t[c - 1] + t[c + 1]) + 0.75f * t[c];
  for (; c < evens; ++c) out[2 * c] = 0.125f * (T(c - 1) + T(c + 1)) + 0.75f * T(c);
  for (c = 0; c < oddEnd; ++c) out[2 * c + 1] = 0.5f * (t[c] + t[c + 1]);
  for (; c < odds; ++c) out[2 * c + 1] = 0.5f * (T(c) + T(c + 1));
}

}  // namespace

bool make_layout(int width, int height, int channels, Layout &out) {
  out = Layout{};
  if (width < 1 || height < 1 || (channels != 1 && channels != 3)) return false;
  out.channels = channels;
  out.planes = channels + 1;
  int w = width, h = height;
  std::int64_t total = 0;
  for (;;) {
    Level &l = out.level[out.levels++];
    l.w = w;
    l.h = h;
    l.offset = total;
    std::int64_t cells = 0;
    if (!checked_product(l.cells(), out.planes, cells) || __builtin_add_overflow(total, cells, &total)) return false;
    if (std::min(w, h) <= kTopSide || out.levels == kMaxLevels) break;
    w = (w + 1) / 2;
    h = (h + 1) / 2;
  }
  out.accum_floats = total;
  // Scratch: the frame at full size, then a second buffer for the next level, which first holds
  // the weights' working rows (one and a half full-size planes' worth).
  std::int64_t first = 0, second = 0;
  if (!checked_product(out.level[0].cells(), out.planes, first)) return false;
  const std::int64_t next = out.levels > 1 ? out.level[1].cells() : 0;
  if (!checked_product(next, out.planes, second)) return false;
  std::int64_t work = 0;
  if (!checked_product(out.level[0].cells(), 3, work)) return false;
  second = std::max(second, work / 2 + 1);
  out.second_offset = first;
  if (__builtin_add_overflow(first, second, &out.scratch_floats)) return false;
  std::int64_t bytes = 0;
  return checked_product(std::max(out.accum_floats, out.scratch_floats), std::int64_t(sizeof(float)), bytes);
}

bool reduce(const Planes &fine, const Planes &coarse, int workers) {
  RowPool pool;
  if (!pool.make(workers, fine.w)) return false;
  const int W = fine.w, H = fine.h, cw = coarse.w;
  for_rows(coarse.h, workers, [&](int k, int y) {
    float *t = pool.row(k);
    const int r0 = mirror(2 * y - 2, H), r1 = mirror(2 * y - 1, H), r2 = mirror(2 * y, H), r3 = mirror(2 * y + 1, H),
              r4 = mirror(2 * y + 2, H);
    for (int p = 0; p < fine.planes; ++p) {
      const float *a = fine.row(p, r0), *b = fine.row(p, r1), *c = fine.row(p, r2), *d = fine.row(p, r3),
                  *e = fine.row(p, r4);
      for (int x = 0; x < W; ++x) t[x] = (a[x] + e[x]) * 0.0625f + (b[x] + d[x]) * 0.25f + c[x] * 0.375f;
      float *o = coarse.row(p, y);
      int x = 0;
      auto edge = [&](int i) {
        const int s = 2 * i;
        return (t[mirror(s - 2, W)] + t[mirror(s + 2, W)]) * 0.0625f +
               (t[mirror(s - 1, W)] + t[mirror(s + 1, W)]) * 0.25f + t[mirror(s, W)] * 0.375f;
      };
      for (; x < cw && x < 1; ++x) o[x] = edge(x);
      const int interiorEnd = std::min(cw, (W - 3) / 2 + 1);
      for (; x < interiorEnd; ++x) {
        const int s = 2 * x;
        o[x] = (t[s - 2] + t[s + 2]) * 0.0625f + (t[s - 1] + t[s + 1]) * 0.25f + t[s] * 0.375f;
      }
      for (; x < cw; ++x) o[x] = edge(x);
    }
  });
  return true;
}

bool add_band(const Planes &g, const Planes *gcoarse, const Planes &acc, int workers) {
  RowPool pool, expanded;
  const int cw = gcoarse ? gcoarse->w : 1;
  if (!pool.make(workers, cw) || !expanded.make(workers, g.w)) return false;
  const int C = g.planes - 1, W = g.w;
  for_rows(g.h, workers, [&](int k, int y) {
    const float *wt = g.row(C, y);
    for (int c = 0; c < C; ++c) {
      const float *src = g.row(c, y);
      float *a = acc.row(c, y);
      if (gcoarse == nullptr) {
        for (int x = 0; x < W; ++x) a[x] += wt[x] * src[x];
        continue;
      }
      float *e = expanded.row(k);
      expand_row(gcoarse->plane(c), gcoarse->w, gcoarse->h, y, pool.row(k), W, e);
      for (int x = 0; x < W; ++x) a[x] += wt[x] * (src[x] - e[x]);
    }
    float *aw = acc.row(C, y);
    for (int x = 0; x < W; ++x) aw[x] += wt[x];
  });
  return true;
}

bool collapse(const Planes &acc, const Planes *coarse, float gain, int workers) {
  RowPool pool, expanded;
  const int cw = coarse ? coarse->w : 1;
  if (!pool.make(workers, cw) || !expanded.make(workers, acc.w)) return false;
  const int C = acc.planes - 1, W = acc.w;
  for_rows(acc.h, workers, [&](int k, int y) {
    const float *aw = acc.row(C, y);
    for (int c = 0; c < C; ++c) {
      float *a = acc.row(c, y);
      if (coarse == nullptr) {
        for (int x = 0; x < W; ++x) a[x] = a[x] / aw[x];
        continue;
      }
      float *e = expanded.row(k);
      expand_row(coarse->plane(c), coarse->w, coarse->h, y, pool.row(k), W, e);
      for (int x = 0; x < W; ++x) a[x] = a[x] / aw[x] * gain + e[x];
    }
  });
  return true;
}

}  // namespace tmlib::fusion
