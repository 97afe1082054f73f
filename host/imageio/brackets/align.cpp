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

// The code below which a share q of the pixels lie.
int percentile_of(const std::vector<uint8_t> &g, double q) {
  std::array<int64_t, 256> hist{};
  for (uint8_t v : g) ++hist[v];
  int64_t seen = 0;
  for (int v = 0; v < 256; ++v) {
    seen += hist[size_t(v)];
    if (double(seen) >= q * double(g.size())) return v;
  }
  return 255;
}

// The split both frames can make: Ward's median, unless half of either frame is clipped (a
// bright frame with a white sky, a dark one with black ground), where every pixel would fall on
// one side; then the nearest share of pixels that splits both frames clear of the ends.
double split_share(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
  for (double q : {0.5, 0.4, 0.6, 0.3, 0.7, 0.2, 0.8, 0.1, 0.9}) {
    const int ta = percentile_of(a, q), tb = percentile_of(b, q);
    if (ta >= 8 && ta <= 246 && tb >= 8 && tb <= 246) return q;
  }
  return 0.5;
}

std::vector<Level> pyramid(const std::vector<uint8_t> &grey, int w, int h, int levels, double share) {
  std::vector<Level> out;
  std::vector<uint8_t> g = grey;
  for (int l = 0; l < levels; ++l) {
    const int med = percentile_of(g, share);
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

// The same levels split against a local mean (a box of 2 radius + 1 pixels) instead of one
// threshold for the frame: every textured area gets edges, where a global split leaves a
// paved square or a lawn all on one side. Exposure changes the codes monotonically, so the
// split is nearly the same in every frame away from clipping; clipped areas equal their mean
// and fall in the exclusion band.
// One level's bits from its grey values, comparing each pixel with its box's sum (no division:
// g (box area) against the sum). Column sums slide down the rows, so the only buffer is a row.
void local_bits(const uint8_t *g, int w, int h, int radius, std::vector<uint8_t> &bits) {
  bits.resize(size_t(w) * h);
  std::vector<uint32_t> col(static_cast<size_t>(w), 0u);
  for (int y = 0; y <= std::min(radius, h - 1); ++y)
    for (int x = 0; x < w; ++x) col[size_t(x)] += g[size_t(y) * w + x];
  for (int y = 0; y < h; ++y) {
    const int ny = std::min(h - 1, y + radius) - std::max(0, y - radius) + 1;
    const uint8_t *row = g + size_t(y) * w;
    uint8_t *out = bits.data() + size_t(y) * w;
    uint32_t sum = 0;
    for (int x = 0; x <= std::min(radius, w - 1); ++x) sum += col[size_t(x)];
    for (int x = 0; x < w; ++x) {
      const int nx = std::min(w - 1, x + radius) - std::max(0, x - radius) + 1;
      const int64_t n = int64_t(nx) * ny, v = int64_t(row[x]) * n, box = sum;
      out[x] = uint8_t((v > box ? 1 : 0) | (std::llabs(v - box) * 2 > int64_t(kNoise) * n ? 2 : 0));
      if (x + radius + 1 < w) sum += col[size_t(x + radius + 1)];
      if (x - radius >= 0) sum -= col[size_t(x - radius)];
    }
    if (y + radius + 1 < h)
      for (int x = 0; x < w; ++x) col[size_t(x)] += g[size_t(y + radius + 1) * w + x];
    if (y - radius >= 0)
      for (int x = 0; x < w; ++x) col[size_t(x)] -= g[size_t(y - radius) * w + x];
  }
}

// The same levels split against a local mean (a box of 2 radius + 1 pixels) instead of one
// threshold for the frame: every textured area gets edges, where a global split leaves a
// paved square or a lawn all on one side. Exposure changes the codes monotonically, so the
// split is nearly the same in every frame away from clipping; clipped areas equal their mean
// and fall in the exclusion band.
std::vector<Level> local_pyramid(const std::vector<uint8_t> &grey, int w, int h, int levels, int radius) {
  std::vector<Level> out(static_cast<size_t>(levels));
  std::vector<uint8_t> half, next;
  const uint8_t *g = grey.data();
  for (int l = 0; l < levels; ++l) {
    out[size_t(l)].w = w;
    out[size_t(l)].h = h;
    local_bits(g, w, h, radius, out[size_t(l)].bits);
    if (l + 1 == levels) break;
    const int nw = w / 2, nh = h / 2;
    next.resize(size_t(nw) * nh);
    for (int y = 0; y < nh; ++y)
      for (int x = 0; x < nw; ++x) {
        const size_t i = size_t(2 * y) * w + 2 * x;
        next[size_t(y) * nw + x] = uint8_t((g[i] + g[i + 1] + g[i + w] + g[i + w + 1] + 2) / 4);
      }
    half.swap(next);
    g = half.data();
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
  // Shifts that leave little overlap compare too few pixels to be trusted.
  if (x1 - x0 < std::max(4, (r.x1 - r.x0) / 3) || y1 - y0 < std::max(4, (r.y1 - r.y0) / 3)) return 1.0;
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
  double support = 0;  // sure bitmap edges per pixel of the rect, the fewer of both directions
};

// Coarse to fine from guess (in level-`top` pixels): `reach` pixels each way at the top
// level, one pixel each way at every finer one.
Found search(const std::vector<Level> &ref, const std::vector<Level> &frm, Rect r0, int top, int gx, int gy,
             int reach = 1) {
  int sx = gx, sy = gy;
  for (int l = top; l >= 0; --l) {
    const Rect r{r0.x0 >> l, r0.y0 >> l, r0.x1 >> l, r0.y1 >> l};
    double best = 2;
    int bx = sx, by = sy;
    const int k = l == top ? reach : 1;
    for (int dy = -k; dy <= k; ++dy)
      for (int dx = -k; dx <= k; ++dx) {
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
  // What the rect can tell: sure edges of the reference bitmap across x and across y. A tile
  // of smooth sky or a clipped highlight has none and would report any shift it was given.
  int64_t across_x = 0, across_y = 0;
  for (int y = r0.y0; y + 1 < r0.y1; ++y)
    for (int x = r0.x0; x + 1 < r0.x1; ++x) {
      const unsigned u = a.bits[size_t(y) * a.w + x], right = a.bits[size_t(y) * a.w + x + 1],
                     down = a.bits[size_t(y + 1) * a.w + x];
      across_x += ((u ^ right) & (u >> 1) & (right >> 1)) & 1;
      across_y += ((u ^ down) & (u >> 1) & (down >> 1)) & 1;
    }
  f.support = double(std::min(across_x, across_y)) / (double(r0.x1 - r0.x0) * (r0.y1 - r0.y0));
  return f;
}

// A sub-pixel part this small is noise in the V fit; an integral shift keeps the frame sharp.
double snap(double v) {
  const double r = std::round(v);
  return std::fabs(v - r) < 0.3 ? r : v;
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
  // Levels halve the frame down to some 32 pixels a side; the coarsest searches every shift
  // within max_shift at its scale, each finer one a pixel each way around the last.
  int levels = 1;
  while ((1 << levels) - 1 < options.max_shift && (std::min(w, h) >> levels) >= 32) ++levels;
  const Rect whole{0, 0, w, h};
  const int reach = (options.max_shift >> (levels - 1)) + 1;
  // Ward's bitmaps, split at the median (or the share both frames can split at), and the
  // locally split ones; where they disagree, the shift whose local bitmaps agree better wins:
  // a frame-wide split can leave most of the texture on one side and lock onto the horizon.
  const double share = split_share(ref, grey);
  const auto lr = local_pyramid(ref, w, h, levels, 8), lf = local_pyramid(grey, w, h, levels, 8);
  Found global = search(lr, lf, whole, levels - 1, 0, 0, reach);
  {
    const auto pr = pyramid(ref, w, h, levels, share), pf = pyramid(grey, w, h, levels, share);
    const Found ward = search(pr, pf, whole, levels - 1, 0, 0, reach);
    if ((ward.ix != global.ix || ward.iy != global.iy) &&
        error_at(lr[0], lf[0], whole, ward.ix, ward.iy) < error_at(lr[0], lf[0], whole, global.ix, global.iy))
      global = ward;
  }
  Transform t;
  t.dx = snap(global.dx);
  t.dy = snap(global.dy);
  if (!options.rotation || w < 64 || h < 64) return t;

  // Tiles on a grid; each finds its own shift near the global one. A rotation shows as shifts
  // that turn around the centre.
  const int cols = w >= h ? 6 : 4, rows = w >= h ? 4 : 6;
  const int tw = w / cols, th = h / rows;
  const int top = std::min(3, levels - 1);
  struct Tile {
    double x, y, dx, dy;
  };
  std::vector<Tile> tiles;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const Rect rect{c * tw, r * th, (c + 1) * tw, (r + 1) * th};
      const Found f = search(lr, lf, rect, top, global.ix >> top, global.iy >> top);
      if (f.support < 0.002) continue;  // a flat tile (sky, wall) cannot say where it went
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
  if (kept.size() < 4 || (kept.size() < tiles.size() && !fit(kept, tx, ty, a))) return t;
  if (std::fabs(a) * 180 / kPi < options.min_angle) return t;
  // A rotation must explain the tiles much better than the translation does, or the tiles
  // disagree for another reason (parallax, motion, clipped areas) and are better left alone.
  double rot2 = 0, shift2 = 0;
  for (const Tile &tl : kept) {
    rot2 += std::pow(tx - a * tl.y - tl.dx, 2) + std::pow(ty + a * tl.x - tl.dy, 2);
    shift2 += std::pow(t.dx - tl.dx, 2) + std::pow(t.dy - tl.dy, 2);
  }
  const double rot_rms = std::sqrt(rot2 / double(kept.size())), shift_rms = std::sqrt(shift2 / double(kept.size()));
  if (rot_rms > 0.75 || rot_rms > 0.6 * shift_rms) return t;
  t.angle = a;
  t.dx = tx;
  t.dy = ty;
  return t;
}

}  // namespace brightloom::brackets
