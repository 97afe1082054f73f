// SPDX-License-Identifier: MIT
#include "align.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace brightloom::brackets {
namespace {

constexpr double kPi = 3.14159265358979323846;

// One pyramid level: per pixel, bit 0 is the median threshold bitmap and bit 1 the exclusion
// bitmap (the pixel is more than kNoise codes from the median, so noise cannot flip its bit).
struct Level {
  int w = 0, h = 0;
  std::vector<uint8_t> bits;
};

constexpr int kNoise = 4;

uint8_t median_of(const std::vector<uint8_t> &g) {
  std::array<int64_t, 256> hist{};
  for (uint8_t v : g) ++hist[v];
  int64_t seen = 0;
  for (int v = 0; v < 256; ++v) {
    seen += hist[size_t(v)];
    if (2 * seen >= int64_t(g.size())) return uint8_t(v);
  }
  return 255;
}

std::vector<Level> pyramid(const std::vector<uint8_t> &grey, int w, int h, int levels) {
  std::vector<Level> out;
  std::vector<uint8_t> g = grey;
  for (int l = 0; l < levels; ++l) {
    const int med = median_of(g);
    Level lv;
    lv.w = w;
    lv.h = h;
    lv.bits.resize(g.size());
    for (size_t i = 0; i < g.size(); ++i)
      lv.bits[i] = uint8_t((g[i] > med ? 1 : 0) | (std::abs(int(g[i]) - med) > kNoise ? 2 : 0));
    out.push_back(std::move(lv));
    if (l + 1 == levels) break;
    const int nw = w / 2, nh = h / 2;
    std::vector<uint8_t> next(size_t(nw) * nh);
    for (int y = 0; y < nh; ++y)
      for (int x = 0; x < nw; ++x) {
        const size_t i = size_t(2 * y) * w + 2 * x;
        next[size_t(y) * nw + x] = uint8_t((g[i] + g[i + 1] + g[i + w] + g[i + w + 1] + 2) / 4);
      }
    g.swap(next);
    w = nw;
    h = nh;
  }
  return out;
}

struct Rect {
  int x0, y0, x1, y1;  // half-open
};

// Disagreement of the bitmaps where the reference pixel p (inside r) meets frame pixel p + d,
// per pixel compared; 1 (the worst) when nothing overlaps.
double error_at(const Level &ref, const Level &frm, const Rect &r, int dx, int dy) {
  const int x0 = std::max(r.x0, -dx), x1 = std::min(r.x1, frm.w - dx);
  const int y0 = std::max(r.y0, -dy), y1 = std::min(r.y1, frm.h - dy);
  if (x1 - x0 < 4 || y1 - y0 < 4) return 1.0;
  int64_t bad = 0;
  for (int y = y0; y < y1; ++y) {
    const uint8_t *a = ref.bits.data() + size_t(y) * ref.w;
    const uint8_t *b = frm.bits.data() + size_t(y + dy) * frm.w + dx;
    unsigned row = 0;
    for (int x = x0; x < x1; ++x) {
      const unsigned u = a[x], v = b[x];
      row += ((u ^ v) & (u >> 1) & (v >> 1)) & 1u;
    }
    bad += row;
  }
  return double(bad) / (double(x1 - x0) * (y1 - y0));
}

// Sub-pixel position of the minimum from the errors one pixel either side: the bitmaps'
// disagreement grows like |offset| near the true shift, so a V is fitted, not a parabola.
double v_fit(double minus, double centre, double plus) {
  const double rise = std::max(minus, plus) - centre;
  if (!(rise > 0)) return 0;
  const double off = (minus - plus) / (2 * rise);
  return std::clamp(off, -0.5, 0.5);
}

struct Found {
  double dx = 0, dy = 0;
  int ix = 0, iy = 0;
  double support = 0;  // share of the rect's reference pixels in the exclusion bitmap
};

// Coarse to fine from guess (in level-`top` pixels), one pixel each way per level.
Found search(const std::vector<Level> &ref, const std::vector<Level> &frm, Rect r0, int top, int gx, int gy) {
  int sx = gx, sy = gy;
  for (int l = top; l >= 0; --l) {
    const Rect r{r0.x0 >> l, r0.y0 >> l, r0.x1 >> l, r0.y1 >> l};
    double best = 2;
    int bx = sx, by = sy;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const double e = error_at(ref[size_t(l)], frm[size_t(l)], r, sx + dx, sy + dy);
        // Ties keep the smaller move, so that flat areas do not drift.
        if (e < best - 1e-12 || (e <= best + 1e-12 && std::abs(dx) + std::abs(dy) < std::abs(bx - sx) + std::abs(by - sy))) {
          best = e;
          bx = sx + dx;
          by = sy + dy;
        }
      }
    sx = bx;
    sy = by;
    if (l > 0) {
      sx *= 2;
      sy *= 2;
    }
  }
  Found f;
  f.ix = sx;
  f.iy = sy;
  const Level &a = ref[0], &b = frm[0];
  const double e0 = error_at(a, b, r0, sx, sy);
  f.dx = sx + v_fit(error_at(a, b, r0, sx - 1, sy), e0, error_at(a, b, r0, sx + 1, sy));
  f.dy = sy + v_fit(error_at(a, b, r0, sx, sy - 1), e0, error_at(a, b, r0, sx, sy + 1));
  int64_t sure = 0;
  for (int y = r0.y0; y < r0.y1; ++y)
    for (int x = r0.x0; x < r0.x1; ++x) sure += (a.bits[size_t(y) * a.w + x] >> 1) & 1;
  f.support = double(sure) / (double(r0.x1 - r0.x0) * (r0.y1 - r0.y0));
  return f;
}

// A sub-pixel part this small is noise in the V fit; an integral shift keeps the frame sharp.
double snap(double v) {
  const double r = std::round(v);
  return std::fabs(v - r) < 0.2 ? r : v;
}

}  // namespace

std::vector<uint8_t> grey_of(const Frame &f) {
  const int64_t n = f.pixel_count();
  std::vector<uint8_t> g(static_cast<size_t>(n));
  if (f.max_code == 255) {
    const uint8_t *c = f.codes8.data();
    for (int64_t i = 0; i < n; ++i) g[size_t(i)] = uint8_t((54 * c[3 * i] + 183 * c[3 * i + 1] + 19 * c[3 * i + 2] + 128) >> 8);
  } else {
    // Square root of the 15-bit code: 0..32768 -> 0..181, spread to 0..255.
    std::array<uint8_t, 32769> lut{};
    for (int z = 0; z <= 32768; ++z) {
      const double v = f.linear ? std::sqrt(z / 32768.0) : z / 32768.0;
      lut[size_t(z)] = uint8_t(std::lround(255 * v));
    }
    const uint16_t *c = f.codes16.data();
    for (int64_t i = 0; i < n; ++i) {
      const uint32_t y = (54u * c[3 * i] + 183u * c[3 * i + 1] + 19u * c[3 * i + 2] + 128u) >> 8;
      g[size_t(i)] = lut[std::min<uint32_t>(y, 32768)];
    }
  }
  return g;
}

Transform align_grey(const std::vector<uint8_t> &ref, const std::vector<uint8_t> &grey, int w, int h,
                     const AlignOptions &options) {
  // Levels: each searches one pixel each way at its scale, 2^levels - 1 pixels in all; the
  // coarsest keeps at least 16 pixels a side.
  int levels = 1;
  while ((1 << levels) - 1 < options.max_shift && (std::min(w, h) >> levels) >= 16) ++levels;
  const auto pr = pyramid(ref, w, h, levels), pf = pyramid(grey, w, h, levels);
  const Rect whole{0, 0, w, h};
  const Found global = search(pr, pf, whole, levels - 1, 0, 0);
  Transform t;
  t.dx = snap(global.dx);
  t.dy = snap(global.dy);
  if (!options.rotation || w < 64 || h < 64) return t;

  // Tiles on a grid; each finds its own shift near the global one. A rotation shows as shifts
  // that turn around the centre.
  const int cols = w >= h ? 4 : 3, rows = w >= h ? 3 : 4;
  const int tw = w / cols, th = h / rows;
  const int top = std::min(3, levels - 1);
  struct Tile {
    double x, y, dx, dy;
  };
  std::vector<Tile> tiles;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const Rect rect{c * tw, r * th, (c + 1) * tw, (r + 1) * th};
      const Found f = search(pr, pf, rect, top, global.ix >> top, global.iy >> top);
      if (f.support < 0.05) continue;  // a flat tile (sky, wall) cannot say where it went
      tiles.push_back({(rect.x0 + rect.x1) / 2.0 - w / 2.0, (rect.y0 + rect.y1) / 2.0 - h / 2.0, f.dx, f.dy});
    }
  // Least squares of dx = tx - a y, dy = ty + a x over the tiles, then once more without the
  // tiles that disagree (something moving in them).
  auto fit = [](const std::vector<Tile> &ts, double &tx, double &ty, double &a) {
    // Normal equations of the three unknowns.
    double m[3][4] = {};
    for (const Tile &t : ts) {
      const double rows_[2][4] = {{1, 0, -t.y, t.dx}, {0, 1, t.x, t.dy}};
      for (const auto &row : rows_)
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 4; ++j) m[i][j] += row[i] * row[j];
    }
    for (int i = 0; i < 3; ++i) {
      int p = i;
      for (int k = i + 1; k < 3; ++k)
        if (std::fabs(m[k][i]) > std::fabs(m[p][i])) p = k;
      std::swap(m[i], m[p]);
      if (std::fabs(m[i][i]) < 1e-12) return false;
      for (int k = 0; k < 3; ++k) {
        if (k == i) continue;
        const double q = m[k][i] / m[i][i];
        for (int j = i; j < 4; ++j) m[k][j] -= q * m[i][j];
      }
    }
    tx = m[0][3] / m[0][0];
    ty = m[1][3] / m[1][1];
    a = m[2][3] / m[2][2];
    return true;
  };
  if (tiles.size() < 4) return t;
  double tx = 0, ty = 0, a = 0;
  if (!fit(tiles, tx, ty, a)) return t;
  std::vector<Tile> kept;
  for (const Tile &tl : tiles)
    if (std::hypot(tx - a * tl.y - tl.dx, ty + a * tl.x - tl.dy) < 1.5) kept.push_back(tl);
  if (kept.size() >= 4 && kept.size() < tiles.size() && !fit(kept, tx, ty, a)) return t;
  if (std::fabs(a) * 180 / kPi < options.min_angle) return t;
  t.angle = a;
  t.dx = tx;
  t.dy = ty;
  return t;
}

}  // namespace brightloom::brackets
