// SPDX-License-Identifier: MIT
#include "fusion/weights.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "core/tiling.h"
#include "tmlib/fusion.h"
#include "tmlib/records.h"
#include "tmlib/rgbe.h"

namespace tmlib::fusion {
namespace {

// The defaults follow the classic exposure-fusion weighting: a Gaussian of width 0.2 around
// mid-grey for the exposure, a gentle saturation term, and some local contrast, which keeps
// the structure of whichever frame shows it best.
constexpr float kExposureWidth = 0.25f;
constexpr float kBaseContrast = 1.0f;
constexpr float kBaseSaturation = 0.2f;
// Floors of the contrast and saturation measures: a flat or grey patch (a clear sky, a white
// wall) must still be chosen by its exposure, not by noise.
constexpr float kContrastFloor = 1.0f / 255.0f;
constexpr float kSaturationFloor = 1.0f / 255.0f;
// A weight never reaches 0, so every level's weight sum stays positive.
constexpr float kWeightFloor = 1e-12f;
// The reference size of the Radius slider: a picture this long on its long side.
constexpr float kRadiusReference = 1024.0f;
// Local contrast of method 11 is measured on a 12-bit quantised grey so that its box sums are
// exact integers, whatever the order the workers sum them in.
constexpr int kGreyLevels = 4095;

float held(const float *param, int slot, float lo, float hi, float dflt) {
  const float v = param ? param[slot] : dflt;
  if (std::isnan(v)) return dflt;
  return std::clamp(v, lo, hi);
}

template <typename Body>
void for_rows(int height, int workers, Body &&body) {
  const int P = std::max(1, workers);
  run_workers_finishing_inline(P, [&](int k) {
    const RowBand b = pointwise_band(height, P, k);
    for (int y = b.start; y < b.start + b.rows; ++y) body(k, y);
  });
}

inline float encode(float linear) {
  if (!(linear > 0.0f)) return 0.0f;  // negative and NaN
  if (linear >= 1.0f) return 1.0f;
  return std::pow(linear, 1.0f / 2.2f);
}

inline float grey_of(const Planes &g, int64_t i) {
  if (g.planes == 2) return g.base[i];
  const int64_t n = g.cells();
  return 0.299f * g.base[i] + 0.587f * g.base[n + i] + 0.114f * g.base[2 * n + i];
}

}  // namespace

bool read_controls(int method, const float *param, int width, int height, Controls &c) {
  c = Controls{};
  c.method = method;
  c.exposureExponent = 1.0f;
  if (method == TMLIB_METHOD_FUSION_ADJUST) {
    const float acc = held(param, TMLIB_FA_ACCENTUATION, -100, 100, 0) / 100.0f;
    c.contrastExponent = kBaseContrast * (1.0f + acc);
    c.saturationExponent = kBaseSaturation;
    c.optimum = 0.5f + 0.2f * held(param, TMLIB_FA_BLENDING_POINT, -100, 100, 0) / 100.0f;
    c.detailGain = 1.0f + 0.6f * std::max(acc, 0.0f);
    c.detailScale = 8.0f;
    c.shadows = held(param, TMLIB_FA_SHADOWS, -100, 100, 0) / 100.0f;
    c.saturation = held(param, TMLIB_FA_SATURATION, -100, 100, 0) / 100.0f;
    c.whiteClip = held(param, TMLIB_FA_WHITE_CLIP, 0, 10, 0);
    c.blackClip = held(param, TMLIB_FA_BLACK_CLIP, 0, 10, 0);
    c.midtones = held(param, TMLIB_FA_MIDTONES, -100, 100, 0) / 100.0f;
    return true;
  }
  if (method == TMLIB_METHOD_FUSION_INTENSIVE) {
    const float s = held(param, TMLIB_FI_STRENGTH, 0, 100, 0) / 100.0f;
    const float r = held(param, TMLIB_FI_RADIUS, 1, 200, 40);
    c.localRadius = std::max(1.0f, r * float(std::max(width, height)) / kRadiusReference);
    c.contrastExponent = 1.0f + 2.0f * s;
    c.saturationExponent = kBaseSaturation;
    c.detailGain = 1.0f + 0.75f * s;
    c.detailScale = c.localRadius;
    c.saturation = held(param, TMLIB_FI_SATURATION, -100, 100, 0) / 100.0f;
    return true;
  }
  return false;
}

bool decode_frame(const FrameSource &src, const Planes &g, int workers) {
  const int W = g.w, C = g.planes - 1;
  float table[256];
  exp_lut(table, -8);
  const int spp = src.spp;
  for_rows(g.h, workers, [&](int, int y) {
    float *out[3] = {g.row(0, y), C == 3 ? g.row(1, y) : nullptr, C == 3 ? g.row(2, y) : nullptr};
    switch (src.kind) {
      case TMLIB_FUSION_RGBE: {
        const unsigned char *row = static_cast<const unsigned char *>(src.pixels) + int64_t(y) * 4 * W;
        const unsigned char *e = row + 3 * int64_t(W);
        for (int x = 0; x < W; ++x) {
          const float scale = e[x] == 0 ? 0.0f : table[e[x]] * src.gain;
          if (C == 3) {
            for (int c = 0; c < 3; ++c) out[c][x] = encode(scale * float(row[int64_t(c) * W + x]));
          } else {
            out[0][x] = encode(scale * (0.299f * row[x] + 0.587f * row[W + x] + 0.114f * row[2 * int64_t(W) + x]));
          }
        }
        break;
      }
      case TMLIB_FUSION_U8: {
        const unsigned char *row = static_cast<const unsigned char *>(src.pixels) + int64_t(y) * src.rowStride;
        for (int x = 0; x < W; ++x)
          for (int c = 0; c < C; ++c) out[c][x] = float(row[int64_t(x) * spp + c]) * (1.0f / 255.0f);
        break;
      }
      case TMLIB_FUSION_U16: {
        const uint16_t *row = static_cast<const uint16_t *>(src.pixels) + int64_t(y) * src.rowStride;
        for (int x = 0; x < W; ++x)
          for (int c = 0; c < C; ++c) out[c][x] = std::min(float(row[int64_t(x) * spp + c]) * (1.0f / 32768.0f), 1.0f);
        break;
      }
      default: {
        const float *row = static_cast<const float *>(src.pixels) + int64_t(y) * src.rowStride;
        for (int x = 0; x < W; ++x)
          for (int c = 0; c < C; ++c) out[c][x] = encode(row[int64_t(x) * spp + c] * src.gain);
        break;
      }
    }
  });
  return true;
}

// The weight of a pixel from its exposure term, its saturation and its contrast measure.
struct WeightFormula {
  float optimum, inv2s2, we, ws, wc;
  float operator()(const float *v, int C, float contrast) const {
    float lnE, sat = 0.0f;
    if (C == 3) {
      const float r = v[0], g = v[1], b = v[2];
      const float mu = (r + g + b) * (1.0f / 3.0f);
      sat = std::sqrt(((r - mu) * (r - mu) + (g - mu) * (g - mu) + (b - mu) * (b - mu)) * (1.0f / 3.0f));
      lnE = -((r - optimum) * (r - optimum) + (g - optimum) * (g - optimum) + (b - optimum) * (b - optimum)) * inv2s2;
    } else {
      // As the three equal channels of a grey pixel would count in colour.
      lnE = -3.0f * (v[0] - optimum) * (v[0] - optimum) * inv2s2;
    }
    float lw = we * lnE;
    if (C == 3 && ws != 0.0f) lw += ws * std::log(sat + kSaturationFloor);
    // The usual unit exponent of the contrast needs no logarithm.
    if (wc == 1.0f) return std::exp(lw) * (contrast + kContrastFloor) + kWeightFloor;
    if (wc != 0.0f) lw += wc * std::log(contrast + kContrastFloor);
    return std::exp(lw) + kWeightFloor;
  }
};

// Method 11's contrast: the grey's standard deviation over the Radius box, into the weight
// plane. Exact integer box sums: row sums first, then a running column sum per band, so each
// band may start its sums afresh and still give the bits of a single worker.
bool local_deviation(const Controls &c, const Planes &g, float *work, int workers) {
  const int W = g.w, H = g.h, C = g.planes - 1;
  const int64_t n = g.cells();
  // A window wider than 32,767 pixels would overflow the 32-bit row sums; it is far beyond any
  // local contrast anyway.
  const int r = int(std::min(std::lround(c.localRadius), 16383L));
  auto *q = reinterpret_cast<uint16_t *>(work);                  // quantised grey, n x 2 bytes
  auto *rowSum = reinterpret_cast<int32_t *>(work + n / 2 + 1);  // sums of q over the row window
  std::vector<int64_t> rowSq, colSum, colSq;                     // sums of q^2 over it; column sums
  const int P = std::max(1, workers);
  try {
    rowSq.assign(size_t(n), 0);
    colSum.assign(size_t(P) * W, 0);
    colSq.assign(size_t(P) * W, 0);
  } catch (const std::bad_alloc &) {
    return false;
  }
  for_rows(H, workers, [&](int, int y) {
    const int64_t o = int64_t(y) * W;
    for (int x = 0; x < W; ++x)
      q[o + x] = uint16_t(std::lround(std::clamp(grey_of(g, o + x), 0.0f, 1.0f) * kGreyLevels));
    int32_t s = 0;
    int64_t s2 = 0;
    for (int x = -r; x <= r; ++x) {
      const int xi = std::clamp(x, 0, W - 1);
      s += q[o + xi];
      s2 += int64_t(q[o + xi]) * q[o + xi];
    }
    for (int x = 0; x < W; ++x) {
      rowSum[o + x] = s;
      rowSq[size_t(o + x)] = s2;
      const int add = std::min(x + r + 1, W - 1), sub = std::max(x - r, 0);
      s += int32_t(q[o + add]) - int32_t(q[o + sub]);
      s2 += int64_t(q[o + add]) * q[o + add] - int64_t(q[o + sub]) * q[o + sub];
    }
  });
  const double count = double(2 * r + 1) * double(2 * r + 1);
  run_workers_finishing_inline(P, [&](int k) {
    const RowBand b = pointwise_band(H, P, k);
    if (b.rows == 0) return;
    int64_t *cs = colSum.data() + size_t(k) * W, *cq = colSq.data() + size_t(k) * W;
    for (int yy = b.start - r; yy <= b.start + r; ++yy) {
      const int64_t o = int64_t(std::clamp(yy, 0, H - 1)) * W;
      for (int x = 0; x < W; ++x) {
        cs[x] += rowSum[o + x];
        cq[x] += rowSq[size_t(o + x)];
      }
    }
    for (int y = b.start; y < b.start + b.rows; ++y) {
      float *out = g.row(C, y);
      for (int x = 0; x < W; ++x) {
        const double mean = double(cs[x]) / count;
        const double var = std::max(0.0, double(cq[x]) / count - mean * mean);
        out[x] = float(std::sqrt(var) / kGreyLevels);
      }
      const int64_t add = int64_t(std::min(y + r + 1, H - 1)) * W, sub = int64_t(std::max(y - r, 0)) * W;
      for (int x = 0; x < W; ++x) {
        cs[x] += int64_t(rowSum[add + x]) - rowSum[sub + x];
        cq[x] += rowSq[size_t(add + x)] - rowSq[size_t(sub + x)];
      }
    }
  });
  return true;
}

bool compute_weights(const Controls &c, const Planes &g, float *work, int workers) {
  const int W = g.w, H = g.h, C = g.planes - 1;
  const int64_t n = g.cells();
  const WeightFormula formula{c.optimum, 1.0f / (2.0f * kExposureWidth * kExposureWidth), c.exposureExponent,
                              c.saturationExponent, c.contrastExponent};
  auto pixel = [&](int64_t i, float v[3]) {
    for (int ch = 0; ch < C; ++ch) v[ch] = g.base[ch * n + i];
  };
  if (c.method == TMLIB_METHOD_FUSION_INTENSIVE) {
    if (!local_deviation(c, g, work, workers)) return false;
    for_rows(H, workers, [&](int, int y) {
      float *wt = g.row(C, y);
      float v[3];
      for (int x = 0; x < W; ++x) {
        pixel(int64_t(y) * W + x, v);
        wt[x] = formula(v, C, wt[x]);
      }
    });
    return true;
  }
  // Method 10's contrast: |Laplacian| of the grey, mirrored at the edges.
  float *grey = work;
  for_rows(H, workers, [&](int, int y) {
    for (int x = 0; x < W; ++x) grey[int64_t(y) * W + x] = grey_of(g, int64_t(y) * W + x);
  });
  for_rows(H, workers, [&](int, int y) {
    const float *m = grey + int64_t(y) * W;
    const float *u = grey + int64_t(y > 0 ? y - 1 : std::min(1, H - 1)) * W;
    const float *d = grey + int64_t(y < H - 1 ? y + 1 : std::max(H - 2, 0)) * W;
    float *wt = g.row(C, y);
    float v[3];
    for (int x = 0; x < W; ++x) {
      const int xl = x > 0 ? x - 1 : std::min(1, W - 1), xr = x < W - 1 ? x + 1 : std::max(W - 2, 0);
      pixel(int64_t(y) * W + x, v);
      wt[x] = formula(v, C, std::fabs(4.0f * m[x] - u[x] - d[x] - m[xl] - m[xr]));
    }
  });
  return true;
}

}  // namespace tmlib::fusion
