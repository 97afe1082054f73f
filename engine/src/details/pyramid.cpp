// SPDX-License-Identifier: MIT
// Kernels of the Details Enhancer's first stage: log luminance, Gaussian reduction,
// gradient magnitudes and their attenuation, the 2x upsampling of attenuation factors and
// the divergence that becomes the Poisson right-hand side.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "details/pyramid.h"
#include "core/status.h"

namespace tmlib::stage1 {
namespace {

// Luminance weights of the two sample kinds.
constexpr float kWr = 0.2126f, kWg = 0.7152f, kWb = 0.0722f;
constexpr float kWr8 = 0.3f, kWg8 = 0.6f, kWb8 = 0.1f;

// Replicates the last column and the last row of a w x h image into a w0 x h0 level.
void pad_level(float *out, int w, int h, int w0, int h0) {
  if (w0 > w) {
    for (int y = 0; y < h; ++y) {
      float *row = out + static_cast<std::int64_t>(y) * w0;
      std::fill(row + w, row + w0, row[w - 1]);
    }
  }
  const float *last = out + static_cast<std::int64_t>(h - 1) * w0;
  for (int y = h; y < h0; ++y) std::memcpy(out + static_cast<std::int64_t>(y) * w0, last, sizeof(float) * w0);
}

}  // namespace

void replace_invalid_logs(float *out, int w, int h, int w0, float value) {
  for (int y = 0; y < h; ++y) {
    float *row = out + static_cast<std::int64_t>(y) * w0;
    for (int x = 0; x < w; ++x)
      if (row[x] < kInvalidBelow) row[x] = value;
  }
}

namespace {

template <typename Sample>
void interleaved_rows(const Sample *src, int spp, int width, int height, std::int64_t rowLength, int w0,
                      const float *curve, float wr, float wg, float wb, float *out, LogStats *stats) {
  const int gi = (spp - 1) / 2;
  const int bi = spp - 1;
  for (int y = 0; y < height; ++y) {
    const Sample *row = src + static_cast<std::int64_t>(y) * rowLength;
    float *dst = out + static_cast<std::int64_t>(y) * w0;
    for (int x = 0; x < width; ++x) {
      const Sample *px = row + static_cast<std::int64_t>(x) * spp;
      float lum = wr * curve[px[0]] + wg * curve[px[gi]] + wb * curve[px[bi]];
      if (!(lum >= 1.0f)) lum = 1.0f;  // also a NaN from a hostile curve
      const float v = std::log(lum);
      dst[x] = v;
      if (stats != nullptr) stats->add(v);
    }
  }
}

}  // namespace

void rgbe_log_row(const std::uint8_t *row, int width, const float *table, float *out, LogStats *stats) {
  const std::uint8_t *r = row;
  const std::uint8_t *g = row + width;
  const std::uint8_t *b = row + 2 * static_cast<std::int64_t>(width);
  const std::uint8_t *e = row + 3 * static_cast<std::int64_t>(width);
  for (int x = 0; x < width; ++x) {
    const float lum = kWr * static_cast<float>(r[x]) + kWg * static_cast<float>(g[x]) + kWb * static_cast<float>(b[x]);
    const float y = lum * table[e[x]];
    // E = 0 and Y <= 0 are the documented invalid pixels; a table entry that is not a
    // positive finite number makes the product unusable in the same way.
    if (e[x] == 0 || !(lum > 0.0f) || !(y > 0.0f) || std::isinf(y)) {
      out[x] = kInvalidLog;
      continue;
    }
    const float v = std::log(y);
    out[x] = v;
    stats->add(v);
  }
}

}  // namespace tmlib::stage1

extern "C" int calc_tm0(int docType, int spp, int width, int height, std::int64_t rowLength, int width2, int height2,
                        int w0, int h0, float *lumParam, const float *table, const float *curve, const void *src,
                        float *out) {
  return tmlib::stage1::log_luminance(0, docType, spp, width, height, rowLength, width2, height2, w0, h0, lumParam,
                                      table, curve, src, out);
}

namespace tmlib::stage1 {

int log_luminance(int workers, int docType, int spp, int width, int height, std::int64_t rowLength, int width2,
                  int height2, int w0, int h0, float *lumParam, const float *table, const float *curve, const void *src,
                  float *out) {
  if (width <= 9 || height <= 9 || width2 != width || height2 != height || w0 < width || h0 < height)
    return tmlib::kErrOpen;
  if (src == nullptr || out == nullptr || lumParam == nullptr) return tmlib::kErrOpen;
  if (docType == 0 && table == nullptr) return tmlib::kErrOpen;
  if (docType == 1 || docType == 2) {
    if (curve == nullptr || spp < 1) return tmlib::kErrOpen;
    if (rowLength == 0) rowLength = static_cast<std::int64_t>(spp) * width;
    if (rowLength < static_cast<std::int64_t>(spp) * width) return tmlib::kErrOpen;
  } else if (docType != 0) {
    return tmlib::kErrOpen;
  }
  // The logarithms of each band of rows on its worker; the statistics afterwards, in pixel
  // order, since their double sum depends on the order of its terms.
  const bool threaded = workers > 1 && static_cast<std::int64_t>(width) * height > kThreadedMinCells;
  const int bands = threaded ? std::min(workers, kMaxWorkers) : 1;
  auto rows = [&](int first, int count, LogStats *stats) {
    switch (docType) {
      case 0: {
        const auto *rgbe = static_cast<const std::uint8_t *>(src);
        LogStats unused;
        for (int y = first; y < first + count; ++y)
          rgbe_log_row(rgbe + 4 * static_cast<std::int64_t>(width) * y, width, table,
                       out + static_cast<std::int64_t>(y) * w0, stats != nullptr ? stats : &unused);
        break;
      }
      case 1:
        interleaved_rows(static_cast<const std::uint16_t *>(src) + rowLength * first, spp, width, count, rowLength, w0,
                         curve, kWr, kWg, kWb, out + static_cast<std::int64_t>(first) * w0, stats);
        break;
      default:
        interleaved_rows(static_cast<const std::uint8_t *>(src) + rowLength * first, spp, width, count, rowLength, w0,
                         curve, kWr8, kWg8, kWb8, out + static_cast<std::int64_t>(first) * w0, nullptr);
        break;
    }
  };
  LogStats stats;
  if (bands == 1) {
    rows(0, height, &stats);
  } else {
    run_workers(
        bands,
        [&](int k) {
          const RowBand band = pointwise_band(height, bands, k);
          rows(band.start, band.rows, nullptr);
        },
        [&] { rows(0, height, nullptr); });
    if (docType != 2) {
      for (int y = 0; y < height; ++y) {
        const float *row = out + static_cast<std::int64_t>(y) * w0;
        // Valid logarithms of finite positive floats lie far above the placeholder.
        for (int x = 0; x < width; ++x)
          if (row[x] != kInvalidLog) stats.add(row[x]);
      }
    }
  }
  if (docType == 0) replace_invalid_logs(out, width, height, w0, stats.mean());
  if (docType != 2) stats.write(lumParam);
  pad_level(out, width, height, w0, h0);
  return height;
}

}  // namespace tmlib::stage1

namespace tmlib::stage1 {

// ---------------------------------------------------------------------------------------
// Gaussian reduction

namespace {

// Weights of the full 3 x 3 filter and of the reduced border filters.
constexpr float kCentre = 0.25f, kEdge = 0.125f, kDiag = 0.0625f;
constexpr float kBorderCentre = 0.33333f, kBorderEdge = 0.166667f, kBorderDiagDiv = 12.0f;
constexpr float kCornerCentre = 0.5f, kCornerEdge = 0.25f;

inline float full3x3(float c, float l, float r, float u, float d, float ul, float ur, float dl, float dr) {
  return kCentre * c + kEdge * (l + r + u + d) + kDiag * (ul + ur + dl + dr);
}

inline float border3(float c, float e1, float e2, float e3, float d1, float d2) {
  return kBorderCentre * c + kBorderEdge * (e1 + e2 + e3) + (d1 + d2) / kBorderDiagDiv;
}

inline float corner(float c, float e1, float e2) { return kCornerCentre * c + kCornerEdge * (e1 + e2); }

}  // namespace

namespace {

// Coarse rows [first, end) of one reduction step.
void gaussian_reduce_rows(const float *fine, int wf, int hf, float *coarse, bool is360, int first, int end) {
  const int wc = (wf + 1) / 2;
  const int mid = wf / 2;
  for (int i = first; i < end; ++i) {
    const int r = 2 * i;
    // The lower neighbour row of the odd last row is the row itself: clamped at the level.
    const float *up = fine + static_cast<std::int64_t>(r > 0 ? r - 1 : 0) * wf;
    const float *row = fine + static_cast<std::int64_t>(r) * wf;
    const float *dn = fine + static_cast<std::int64_t>(std::min(r + 1, hf - 1)) * wf;
    float *out = coarse + static_cast<std::int64_t>(i) * wc;
    for (int j = 0; j < wc; ++j) {
      const int c = 2 * j;
      const bool hasL = c > 0;
      const bool hasR = c + 1 < wf;
      float v;
      if (r == 0 && c == 0) {
        v = corner(row[0], row[1], dn[0]);
      } else if (is360) {
        const int cl = hasL ? c - 1 : wf - 1;
        const int cr = hasR ? c + 1 : 0;
        if (r == 0) {
          // Across the pole: the neighbour above is the first cell of the row, the upper
          // diagonals its first and middle cells.
          v = full3x3(row[c], row[cl], row[cr], row[0], dn[c], row[0], row[mid], dn[cl], dn[cr]);
        } else {
          v = full3x3(row[c], row[cl], row[cr], up[c], dn[c], up[cl], up[cr], dn[cl], dn[cr]);
        }
      } else if (r == 0) {
        v = hasR ? border3(row[c], row[c - 1], row[c + 1], dn[c], dn[c - 1], dn[c + 1])
                 : corner(row[c], row[c - 1], dn[c]);
      } else if (!hasL) {
        v = border3(row[c], row[c + 1], up[c], dn[c], up[c + 1], dn[c + 1]);
      } else if (!hasR) {
        v = border3(row[c], row[c - 1], up[c], dn[c], up[c - 1], dn[c - 1]);
      } else {
        v = full3x3(row[c], row[c - 1], row[c + 1], up[c], dn[c], up[c - 1], up[c + 1], dn[c - 1], dn[c + 1]);
      }
      out[j] = v;
    }
  }
}

}  // namespace

void gaussian_reduce(const float *fine, int wf, int hf, float *coarse, bool is360) {
  gaussian_reduce_rows(fine, wf, hf, coarse, is360, 0, (hf + 1) / 2);
}

void gaussian_reduce(int workers, const float *fine, int wf, int hf, float *coarse, bool is360) {
  const int hc = (hf + 1) / 2;
  const std::int64_t cells = static_cast<std::int64_t>((wf + 1) / 2) * hc;
  if (workers < 2 || cells <= kThreadedMinCells) {
    gaussian_reduce(fine, wf, hf, coarse, is360);
    return;
  }
  const int bands = std::min(workers, kMaxWorkers);
  // Each coarse row depends on the fine level alone: a band done twice gives the same values.
  run_workers(
      bands,
      [&](int k) {
        const RowBand band = pointwise_band(hc, bands, k);
        gaussian_reduce_rows(fine, wf, hf, coarse, is360, band.start, band.start + band.rows);
      },
      [&] { gaussian_reduce(fine, wf, hf, coarse, is360); });
}

// ---------------------------------------------------------------------------------------
// Gradient magnitudes

namespace {

// Gradient components beyond this are treated as noise (overflowing or invalid pixels).
constexpr float kMaxComponent = 100.0f;

inline float tame(float d) { return (d > kMaxComponent || d < -kMaxComponent) ? 0.0f : d; }

}  // namespace

namespace {

// The magnitudes of row y from copies of its original values (cur), of the row above (prev,
// when y > 0) and the row below (next, when y < h - 1), written to out.
void gradient_row(const float *prev, const float *cur, const float *next, int w, bool first, bool last, float scale,
                  bool is360, float *out) {
  const int mid = w / 2;
  for (int x = 0; x < w; ++x) {
    float dx;
    if (x == 0) {
      dx = (is360 && !first && !last) ? cur[1] - cur[w - 1] : cur[1] - cur[0];
    } else if (x == w - 1) {
      dx = (is360 && !first && !last) ? cur[0] - cur[w - 2] : cur[x] - cur[x - 1];
    } else {
      dx = cur[x + 1] - cur[x - 1];
    }
    float dy;
    if (first) {
      dy = (is360 && x != 0 && x != w - 1) ? next[x] - cur[mid] : next[x] - cur[x];
    } else if (last) {
      dy = cur[x] - prev[x];
    } else {
      dy = next[x] - prev[x];
    }
    dx = tame(dx);
    dy = tame(dy);
    out[x] = scale * std::sqrt(dx * dx + dy * dy);
  }
}

// Rows [from, to) in place. above: the original row from - 1 (null for row 0); below: the
// original row `to` (null for the last row), both kept elsewhere since other bands overwrite
// them. prevRow and curRow are scratch rows of w floats.
void gradient_rows(float *lev, int w, int h, int from, int to, const float *above, const float *below, float scale,
                   bool is360, float *prevRow, float *curRow) {
  const float *prev = above;
  for (int y = from; y < to; ++y) {
    float *row = lev + static_cast<std::int64_t>(y) * w;
    std::memcpy(curRow, row, sizeof(float) * w);
    const float *next = y + 1 == to ? below : lev + static_cast<std::int64_t>(y + 1) * w;  // not yet overwritten
    gradient_row(prev, curRow, next, w, y == 0, y == h - 1, scale, is360, row);
    std::swap(prevRow, curRow);
    prev = prevRow;
  }
}

}  // namespace

double gradient_level(float *lev, int w, int h, float scale, bool is360, float *prevRow, float *curRow) {
  gradient_rows(lev, w, h, 0, h, nullptr, nullptr, scale, is360, prevRow, curRow);
  double sum = 0.0;
  for (std::int64_t i = 0, n = static_cast<std::int64_t>(w) * h; i < n; ++i) sum += lev[i];
  return sum;
}

double gradient_level(int workers, float *lev, int w, int h, float scale, bool is360, float *prevRow, float *curRow) {
  const int bands = std::min(workers, kMaxWorkers);
  if (bands < 2 || static_cast<std::int64_t>(w) * h <= kThreadedMinCells || h < 2 * bands)
    return gradient_level(lev, w, h, scale, is360, prevRow, curRow);
  // Each band needs the original rows on both sides of it, which its neighbours overwrite:
  // copies of the two rows at every band boundary, and two scratch rows per band.
  std::unique_ptr<float[]> scratch(new (std::nothrow) float[static_cast<std::size_t>(4) * bands * w]);
  if (!scratch) return gradient_level(lev, w, h, scale, is360, prevRow, curRow);
  float *edges = scratch.get();  // band k: [2k] the row above it, [2k + 1] its first row
  for (int k = 1; k < bands; ++k) {
    const RowBand band = pointwise_band(h, bands, k);
    std::memcpy(edges + static_cast<std::int64_t>(2 * k) * w, lev + static_cast<std::int64_t>(band.start - 1) * w,
                sizeof(float) * 2 * w);
  }
  float *rows = scratch.get() + static_cast<std::int64_t>(2) * bands * w;
  // A band is never done twice (the map is in place): a worker that cannot be started has its
  // own band done on the calling thread.
  run_workers_finishing_inline(bands, [&](int k) {
    const RowBand band = pointwise_band(h, bands, k);
    const float *above = k > 0 ? edges + static_cast<std::int64_t>(2 * k) * w : nullptr;
    const float *below = k + 1 < bands ? edges + static_cast<std::int64_t>(2 * (k + 1) + 1) * w : nullptr;
    float *own = rows + static_cast<std::int64_t>(2 * k) * w;
    gradient_rows(lev, w, h, band.start, band.start + band.rows, above, below, scale, is360, own, own + w);
  });
  // The sum in pixel order, as one pass forms it.
  double sum = 0.0;
  for (std::int64_t i = 0, n = static_cast<std::int64_t>(w) * h; i < n; ++i) sum += lev[i];
  return sum;
}

// ---------------------------------------------------------------------------------------
// Attenuation factors

RunMode attenuate_level(int workers, int w, int h, std::int64_t offset, float alpha, float exponent, float c,
                        float *buffer) {
  const std::int64_t cells = static_cast<std::int64_t>(w) * h;
  if (workers < 2 || cells <= kThreadedMinCells) {
    tm1b(w, h, offset, alpha, exponent, c, buffer);
    return RunMode::kSequential;
  }
  workers = std::min(workers, kMaxWorkers);
  Tm1bTask tasks[kMaxWorkers];
  for (int k = 0; k < workers; ++k) {
    tasks[k].width = w;
    tasks[k].height = h;
    tasks[k].offset = offset;
    tasks[k].buffer = buffer;
    tasks[k].alpha = alpha;
    tasks[k].exponent = exponent;
    tasks[k].c = c;
    tasks[k].index = k;
    tasks[k].nbProc = workers;
  }
  // The kernel is not idempotent: a band must never be attenuated twice, so a worker that
  // cannot be started has only its own band done here.
  return run_workers_finishing_inline(workers, [&tasks](int k) { tm1b_threaded(&tasks[k]); });
}

// ---------------------------------------------------------------------------------------
// Attenuation map: 2x upsampling

void upsample_multiply(const float *coarse, const float *fine, float *out, int wf, int hf, bool is360) {
  const int wc = (wf + 1) / 2;
  const int hc = (hf + 1) / 2;
  for (int i = 0; i < hf; ++i) {
    const int r0 = i / 2;
    const bool rowBetween = (i & 1) != 0 && r0 + 1 < hc;
    const float *c0 = coarse + static_cast<std::int64_t>(r0) * wc;
    const float *c1 = rowBetween ? c0 + wc : c0;
    // The wrapped neighbours are read before this row's writes can reach them.
    const float wrap0 = c0[0];
    const float wrap1 = c1[0];
    const float *f = fine + static_cast<std::int64_t>(i) * wf;
    float *o = out + static_cast<std::int64_t>(i) * wf;
    for (int x = 0; x < wf; ++x) {
      const int j = x / 2;
      const bool odd = (x & 1) != 0;
      const bool colBetween = odd && (j + 1 < wc || is360);
      float u;
      if (!colBetween) {
        u = rowBetween ? 0.5f * c0[j] + 0.5f * c1[j] : c0[j];
      } else {
        const bool wraps = j + 1 >= wc;
        const float a0 = c0[j];
        const float b0 = wraps ? wrap0 : c0[j + 1];
        if (rowBetween) {
          const float a1 = c1[j];
          const float b1 = wraps ? wrap1 : c1[j + 1];
          u = 0.25f * a0 + 0.25f * b0 + 0.25f * a1 + 0.25f * b1;
        } else {
          u = 0.5f * a0 + 0.5f * b0;
        }
      }
      o[x] = f[x] * u;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Divergence

void divergence_row(const float *phiPrev, const float *phiCur, const float *hPrev, const float *hCur,
                    const float *hNext, int w, float *out) {
  for (int x = 0; x < w; ++x) {
    const float hc = hCur[x];
    float b = 0.0f;
    if (x + 1 < w) b = phiCur[x] * (hCur[x + 1] - hc);
    if (x > 0) b = b - phiCur[x - 1] * (hc - hCur[x - 1]);
    if (hNext != nullptr) b = b + phiCur[x] * (hNext[x] - hc);
    if (hPrev != nullptr) b = b - phiPrev[x] * (hc - hPrev[x]);
    out[x] = b;
  }
}

namespace {

// Rows [from, to) of the divergence in place; above: the original row from - 1 of phi.
void divergence_rows(float *phi, int w, int h, int from, int to, const float *H, const float *above, float *phiPrev,
                     float *phiCur) {
  const float *prev = above;
  for (int y = from; y < to; ++y) {
    float *row = phi + static_cast<std::int64_t>(y) * w;
    std::memcpy(phiCur, row, sizeof(float) * w);
    const float *hCur = H + static_cast<std::int64_t>(y) * w;
    divergence_row(y > 0 ? prev : nullptr, phiCur, y > 0 ? hCur - w : nullptr, hCur, y + 1 < h ? hCur + w : nullptr, w,
                   row);
    std::swap(phiPrev, phiCur);
    prev = phiPrev;
  }
}

}  // namespace

void divergence_level(float *phi, int w, int h, const float *H, float *phiPrev, float *phiCur) {
  divergence_rows(phi, w, h, 0, h, H, nullptr, phiPrev, phiCur);
}

void divergence_level(int workers, float *phi, int w, int h, const float *H, float *phiPrev, float *phiCur) {
  const int bands = std::min(workers, kMaxWorkers);
  if (bands < 2 || static_cast<std::int64_t>(w) * h <= kThreadedMinCells || h < 2 * bands) {
    divergence_level(phi, w, h, H, phiPrev, phiCur);
    return;
  }
  // Each band reads the original row above it, which the band above overwrites: a copy of it
  // for every band, and two scratch rows per band.
  std::unique_ptr<float[]> scratch(new (std::nothrow) float[static_cast<std::size_t>(3) * bands * w]);
  if (!scratch) {
    divergence_level(phi, w, h, H, phiPrev, phiCur);
    return;
  }
  float *above = scratch.get();
  for (int k = 1; k < bands; ++k) {
    const RowBand band = pointwise_band(h, bands, k);
    std::memcpy(above + static_cast<std::int64_t>(k) * w, phi + static_cast<std::int64_t>(band.start - 1) * w,
                sizeof(float) * w);
  }
  float *rows = scratch.get() + static_cast<std::int64_t>(bands) * w;
  // In place: each band exactly once, on the calling thread when its worker cannot start.
  run_workers_finishing_inline(bands, [&](int k) {
    const RowBand band = pointwise_band(h, bands, k);
    float *own = rows + static_cast<std::int64_t>(2 * k) * w;
    divergence_rows(phi, w, h, band.start, band.start + band.rows, H,
                    k > 0 ? above + static_cast<std::int64_t>(k) * w : nullptr, own, own + w);
  });
}

}  // namespace tmlib::stage1

// ---------------------------------------------------------------------------------------
// tm1b and its worker

extern "C" int tm1b(int width, int rows, std::int64_t offset, float alpha, float exponent, float c, float *buffer) {
  float *p = buffer + offset;
  const std::int64_t n = static_cast<std::int64_t>(width) * rows;
  for (std::int64_t i = 0; i < n; ++i) {
    const float g = p[i];
    if (g != 0.0f) p[i] = std::pow((c + g) / alpha, exponent);
  }
  return rows;
}

namespace tmlib {

void tm1b_threaded(Tm1bTask *task) {
  const RowBand band = pointwise_band(task->height, task->nbProc, task->index);
  task->result = band.rows > 0
                     ? tm1b(task->width, band.rows, task->offset + static_cast<std::int64_t>(band.start) * task->width,
                            task->alpha, task->exponent, task->c, task->buffer)
                     : 0;
}

}  // namespace tmlib
