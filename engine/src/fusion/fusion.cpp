// SPDX-License-Identifier: MIT
// The C interface of exposure fusion: one frame at a time into the accumulated pyramid, then
// the collapse and the tonal controls of the result.
#include "tmlib/fusion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "core/status.h"
#include "core/tiling.h"
#include "fusion/pyramid.h"
#include "fusion/weights.h"

namespace tmlib::fusion {
namespace {

constexpr int kHistogramBins = 4096;

int channels_of(int spp) { return spp < 3 ? 1 : 3; }

bool plausible_dim(const DimParam &dim) {
  return dim.v[TMLIB_DIM_WIDTH] >= 1 && dim.v[TMLIB_DIM_HEIGHT] >= 1 && dim.v[TMLIB_DIM_SPP] >= 1 &&
         dim.v[TMLIB_DIM_SPP] <= 4;
}

Planes level_planes(const Layout &l, int i, float *accum) {
  return {accum + l.level[i].offset, l.level[i].w, l.level[i].h, l.planes};
}

// The gain of level i's band: the fine bands (finer than the control's scale) get the gain.
float band_gain(const Controls &c, int i) { return float(int64_t(1) << i) < c.detailScale ? c.detailGain : 1.0f; }

// Percentile of the histogram, as a level 0..1: the level below which `percent` of the pixels lie.
float percentile_level(const std::vector<int64_t> &histo, int64_t total, double percent) {
  const double want = double(total) * percent / 100.0;
  int64_t seen = 0;
  for (int i = 0; i < kHistogramBins; ++i) {
    seen += histo[size_t(i)];
    if (double(seen) >= want) return (float(i) + 0.5f) / float(kHistogramBins - 1);
  }
  return 1.0f;
}

// The tone curve of the result, applied to each display-encoded channel: the clip stretch,
// the mid-tone power and the shadow lift, each monotone in the value and in its control.
struct ToneCurve {
  float black = 0, scale = 1, gamma = 1, shadows = 0;
  float operator()(float v) const {
    v = std::clamp((v - black) * scale, 0.0f, 1.0f);
    if (gamma != 1.0f && v > 0.0f) v = std::pow(v, gamma);
    // v + a v (1 - v)^3 stays increasing in v for |a| < 1 and moves the shadows most.
    const float u = 1.0f - v;
    return v + shadows * v * u * u * u;
  }
};

}  // namespace
}  // namespace tmlib::fusion

using namespace tmlib::fusion;

extern "C" int fusion_dims(int width, int height, int channels, int64_t *sizes) {
  if (sizes == nullptr || width < 1 || height < 1 || (channels != 1 && channels != 3)) return tmlib::kErrOpen;
  Layout l;
  if (!make_layout(width, height, channels, l)) return tmlib::kErrNoMemory;
  sizes[0] = l.accum_floats;
  sizes[1] = l.scratch_floats;
  return l.levels;
}

extern "C" int fusion_add(int method, const float *param, DimParam dim, int kind, int64_t rowStride, float gain,
                          const void *frame, OptimParam opt, float *accum, float *scratch) {
  try {
    const int W = dim.v[TMLIB_DIM_WIDTH], H = dim.v[TMLIB_DIM_HEIGHT], spp = dim.v[TMLIB_DIM_SPP];
    if (!plausible_dim(dim) || frame == nullptr || accum == nullptr || scratch == nullptr) return tmlib::kErrOpen;
    if (kind != TMLIB_FUSION_RGBE && kind != TMLIB_FUSION_U8 && kind != TMLIB_FUSION_U16 && kind != TMLIB_FUSION_LINEAR)
      return tmlib::kErrOpen;
    const bool linear = kind == TMLIB_FUSION_RGBE || kind == TMLIB_FUSION_LINEAR;
    if (linear && !(gain > 0.0f && std::isfinite(gain))) return tmlib::kErrOpen;
    if (kind != TMLIB_FUSION_RGBE && rowStride < int64_t(spp) * W) return tmlib::kErrOpen;
    Controls c;
    if (!read_controls(method, param, W, H, c)) return tmlib::kErrOpen;
    Layout l;
    const int channels = kind == TMLIB_FUSION_RGBE ? 3 : channels_of(spp);
    if (!make_layout(W, H, channels, l)) return tmlib::kErrNoMemory;
    const int workers = std::max(1, tmlib::clamp_workers(opt.v[TMLIB_OPT_WORKERS]));
    tmlib::WorkerCrew crew(workers);

    FrameSource src{kind, kind == TMLIB_FUSION_RGBE ? 3 : spp, rowStride, gain, frame};
    float *bufs[2] = {scratch, scratch + l.second_offset};
    Planes g{bufs[0], W, H, l.planes};
    if (!decode_frame(src, g, workers)) return tmlib::kErrNoMemory;
    if (!compute_weights(c, g, bufs[1], workers)) return tmlib::kErrNoMemory;
    // Level by level: the next Gaussian level goes into the other buffer, the band of this one
    // into the accumulator; buffer 0 is large enough for every even level, buffer 1 for every odd.
    for (int i = 0; i < l.levels; ++i) {
      Planes cur{bufs[i & 1], l.level[i].w, l.level[i].h, l.planes};
      Planes acc = level_planes(l, i, accum);
      if (i + 1 < l.levels) {
        Planes next{bufs[(i + 1) & 1], l.level[i + 1].w, l.level[i + 1].h, l.planes};
        if (!reduce(cur, next, workers) || !add_band(cur, &next, acc, workers)) return tmlib::kErrNoMemory;
      } else if (!add_band(cur, nullptr, acc, workers)) {
        return tmlib::kErrNoMemory;
      }
    }
    return H;
  } catch (const std::bad_alloc &) {
    return tmlib::kErrNoMemory;
  }
}

extern "C" int fusion_finish(int method, const float *param, DimParam dim, int frames, OptimParam opt, float *accum,
                             void *dst) {
  try {
    const int W = dim.v[TMLIB_DIM_WIDTH], H = dim.v[TMLIB_DIM_HEIGHT], spp = dim.v[TMLIB_DIM_SPP];
    const int bits = dim.v[TMLIB_DIM_OUT_BITS], stride = dim.v[TMLIB_DIM_OUT_STRIDE];
    if (!plausible_dim(dim) || frames < 1 || accum == nullptr || dst == nullptr || (bits != 8 && bits != 16) ||
        int64_t(stride) < int64_t(spp) * W)
      return tmlib::kErrOpen;
    Controls c;
    if (!read_controls(method, param, W, H, c)) return tmlib::kErrOpen;
    Layout l;
    if (!make_layout(W, H, channels_of(spp), l)) return tmlib::kErrNoMemory;
    const int workers = std::max(1, tmlib::clamp_workers(opt.v[TMLIB_OPT_WORKERS]));
    tmlib::WorkerCrew crew(workers);

    for (int i = l.levels - 1; i >= 0; --i) {
      const Planes acc = level_planes(l, i, accum);
      const Planes coarse = i + 1 < l.levels ? level_planes(l, i + 1, accum) : Planes{};
      if (!collapse(acc, i + 1 < l.levels ? &coarse : nullptr, band_gain(c, i), workers)) return tmlib::kErrNoMemory;
    }

    const Planes out = level_planes(l, 0, accum);
    const int C = l.channels;
    const int64_t n = out.cells();
    auto luminance = [&](int64_t i) {
      return C == 3 ? 0.299f * out.base[i] + 0.587f * out.base[n + i] + 0.114f * out.base[2 * n + i] : out.base[i];
    };
    ToneCurve curve;
    if (c.whiteClip > 0.0f || c.blackClip > 0.0f) {
      // Per-worker histograms of the luminance, summed after the join.
      std::vector<int64_t> histos(size_t(workers) * kHistogramBins, 0);
      tmlib::run_workers_finishing_inline(workers, [&](int k) {
        const tmlib::RowBand b = tmlib::pointwise_band(H, workers, k);
        int64_t *h = histos.data() + size_t(k) * kHistogramBins;
        for (int64_t i = int64_t(b.start) * W; i < int64_t(b.start + b.rows) * W; ++i) {
          const float y = luminance(i);
          const float v = std::isnan(y) ? 0.0f : std::clamp(y, 0.0f, 1.0f);
          ++h[int(v * float(kHistogramBins - 1) + 0.5f)];
        }
      });
      std::vector<int64_t> histo(kHistogramBins, 0);
      for (int k = 0; k < workers; ++k)
        for (int i = 0; i < kHistogramBins; ++i) histo[size_t(i)] += histos[size_t(k) * kHistogramBins + size_t(i)];
      const float lo = c.blackClip > 0.0f ? percentile_level(histo, n, c.blackClip) : 0.0f;
      const float hi = c.whiteClip > 0.0f ? percentile_level(histo, n, 100.0 - c.whiteClip) : 1.0f;
      if (hi > lo + 1e-3f) {
        curve.black = lo;
        curve.scale = 1.0f / (hi - lo);
      }
    }
    curve.gamma = std::exp2(-c.midtones);
    curve.shadows = 0.9f * c.shadows;
    const float satGain = 1.0f + c.saturation;
    const bool reversed = dim.v[TMLIB_DIM_CHANNEL_ORDER] != 0;
    const int green = (spp - 1) / 2, red = reversed ? spp - 1 : 0, blue = reversed ? 0 : spp - 1;
    const float top = bits == 16 ? 65535.0f : 255.0f;

    tmlib::run_workers_finishing_inline(workers, [&](int k) {
      const tmlib::RowBand b = tmlib::pointwise_band(H, workers, k);
      for (int y = b.start; y < b.start + b.rows; ++y) {
        for (int x = 0; x < W; ++x) {
          const int64_t i = int64_t(y) * W + x;
          float rgb[3];
          for (int ch = 0; ch < C; ++ch) rgb[ch] = curve(out.base[int64_t(ch) * n + i]);
          if (C == 3 && satGain != 1.0f) {
            const float Y = 0.299f * rgb[0] + 0.587f * rgb[1] + 0.114f * rgb[2];
            for (float &v : rgb) v = Y + (v - Y) * satGain;
          }
          int q[3];
          for (int ch = 0; ch < C; ++ch) {
            const float v = std::isnan(rgb[ch]) ? 0.0f : std::clamp(rgb[ch], 0.0f, 1.0f);
            q[ch] = int(v * top + 0.5f);
          }
          const int64_t o = int64_t(y) * stride + int64_t(x) * spp;
          if (C == 1) {
            if (bits == 16)
              static_cast<uint16_t *>(dst)[o] = uint16_t(q[0]);
            else
              static_cast<unsigned char *>(dst)[o] = (unsigned char)q[0];
          } else if (bits == 16) {
            uint16_t *d = static_cast<uint16_t *>(dst) + o;
            d[red] = uint16_t(q[0]);
            d[green] = uint16_t(q[1]);
            d[blue] = uint16_t(q[2]);
          } else {
            unsigned char *d = static_cast<unsigned char *>(dst) + o;
            d[red] = (unsigned char)q[0];
            d[green] = (unsigned char)q[1];
            d[blue] = (unsigned char)q[2];
          }
        }
      }
    });
    return H;
  } catch (const std::bad_alloc &) {
    return tmlib::kErrNoMemory;
  }
}
