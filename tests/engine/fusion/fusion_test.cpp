// SPDX-License-Identifier: MIT
// Exposure fusion: identities, where each part of the picture comes from, seams, the direction
// of every control, hostile arguments, and the same bits for any number of workers.
#include <gtest/gtest.h>
#include <tmlib/tmlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using Frame = std::vector<uint8_t>;  // interleaved RGB, 8 bits

// A scene of about eight stops from left to right (a log ramp) with texture everywhere and a
// touch of colour, so every frame is well exposed in some columns and clipped in others.
float scene(int x, int y, int c, int W) {
  const float ramp = std::exp2(8.0f * float(x) / float(W - 1) - 8.0f);
  const float texture = 1.0f + 0.25f * std::sin(0.9f * float(x)) * std::cos(0.7f * float(y));
  const float tint = c == 0 ? 1.0f : c == 1 ? 0.85f : 0.7f;
  return ramp * texture * tint;
}

Frame exposure(int W, int H, float gain) {
  Frame f(size_t(W) * H * 3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) {
        const float v = std::clamp(scene(x, y, c, W) * gain, 0.0f, 1.0f);
        f[(size_t(y) * W + x) * 3 + c] = uint8_t(std::lround(std::pow(v, 1.0f / 2.2f) * 255.0f));
      }
  return f;
}

std::vector<Frame> bracket(int W, int H) {
  return {exposure(W, H, 1.0f), exposure(W, H, 16.0f), exposure(W, H, 256.0f)};
}

std::array<float, 20> defaults(int method) {
  std::array<float, 20> p{};
  tmparam_default(method, 2, p.data());
  return p;
}

// Fuses 8-bit RGB frames; the result's samples (8 or 16 bits), empty on failure.
std::vector<int> fuse(int method, const std::array<float, 20> &p, const std::vector<Frame> &frames, int W, int H,
                      int workers = 2, int bits = 8) {
  int64_t sizes[2] = {};
  if (fusion_dims(W, H, 3, sizes) < 1) return {};
  std::vector<float> accum(static_cast<size_t>(sizes[0]), 0.0f), scratch(static_cast<size_t>(sizes[1]));
  DimParam dim;
  init_dim_param(&dim);
  dim.v[TMLIB_DIM_WIDTH] = W;
  dim.v[TMLIB_DIM_HEIGHT] = H;
  dim.v[TMLIB_DIM_SPP] = 3;
  OptimParam opt;
  init_optim_param(&opt);
  opt.v[TMLIB_OPT_WORKERS] = workers;
  for (const Frame &f : frames)
    if (fusion_add(method, p.data(), dim, TMLIB_FUSION_U8, 3 * W, 1.0f, f.data(), opt, accum.data(), scratch.data()) !=
        H)
      return {};
  dim.v[TMLIB_DIM_OUT_BITS] = bits;
  dim.v[TMLIB_DIM_OUT_STRIDE] = 3 * W;
  std::vector<uint8_t> out(size_t(W) * H * 3 * (bits / 8));
  if (fusion_finish(method, p.data(), dim, int(frames.size()), opt, accum.data(), out.data()) != H) return {};
  std::vector<int> v(size_t(W) * H * 3);
  for (size_t i = 0; i < v.size(); ++i) v[i] = bits == 16 ? reinterpret_cast<const uint16_t *>(out.data())[i] : out[i];
  return v;
}

double mean_luma(const std::vector<int> &v) {
  double s = 0;
  for (size_t i = 0; i < v.size(); i += 3) s += 0.299 * v[i] + 0.587 * v[i + 1] + 0.114 * v[i + 2];
  return s / double(v.size() / 3);
}

double mean_chroma(const std::vector<int> &v) {
  double s = 0;
  for (size_t i = 0; i < v.size(); i += 3)
    s += double(std::max({v[i], v[i + 1], v[i + 2]}) - std::min({v[i], v[i + 1], v[i + 2]}));
  return s / double(v.size() / 3);
}

// Mean squared gradient of the luma per column (x from 1 to W - 2), rows 1 to H - 2.
std::vector<double> column_energy(const std::vector<int> &v, int W, int H) {
  auto luma = [&](int x, int y) {
    const size_t i = (size_t(y) * W + x) * 3;
    return 0.299 * v[i] + 0.587 * v[i + 1] + 0.114 * v[i + 2];
  };
  std::vector<double> e(size_t(W), 0.0);
  for (int x = 1; x < W - 1; ++x) {
    for (int y = 1; y < H - 1; ++y) {
      const double gx = luma(x + 1, y) - luma(x - 1, y), gy = luma(x, y + 1) - luma(x, y - 1);
      e[size_t(x)] += gx * gx + gy * gy;
    }
    e[size_t(x)] /= double(H - 2);
  }
  return e;
}

double mean_energy(const std::vector<int> &v, int W, int H) {
  const std::vector<double> e = column_energy(v, W, H);
  double s = 0;
  for (int x = 1; x < W - 1; ++x) s += e[size_t(x)];
  return s / double(W - 2);
}

// Mean luma of the darkest quarter of the pixels.
double shadow_luma(const std::vector<int> &v) {
  std::vector<double> l;
  for (size_t i = 0; i < v.size(); i += 3) l.push_back(0.299 * v[i] + 0.587 * v[i + 1] + 0.114 * v[i + 2]);
  std::sort(l.begin(), l.end());
  double s = 0;
  for (size_t i = 0; i < l.size() / 4; ++i) s += l[i];
  return s / double(l.size() / 4);
}

}  // namespace

TEST(Fusion, IdenticalFramesFuseToThatFrame) {
  const int W = 97, H = 61;  // odd sizes: every level has an odd last row and column
  const Frame f = exposure(W, H, 16.0f);
  for (int method : {TMLIB_METHOD_FUSION_ADJUST, TMLIB_METHOD_FUSION_INTENSIVE}) {
    const std::vector<int> out = fuse(method, defaults(method), {f, f, f}, W, H);
    ASSERT_EQ(out.size(), f.size()) << "method " << method;
    int worst = 0;
    for (size_t i = 0; i < f.size(); ++i) worst = std::max(worst, std::abs(out[i] - int(f[i])));
    EXPECT_LE(worst, 1) << "method " << method;
  }
}

TEST(Fusion, EachRegionComesFromTheFrameThatExposesItWell) {
  // Two frames that differ only where one of them is clipped: the left half is black in the
  // second frame, the right half white in the first. The fusion must take each half from the
  // frame that shows it, away from the transition.
  const int W = 128, H = 64;
  Frame a = exposure(W, H, 16.0f), b = a;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) (x < W / 2 ? b : a)[(size_t(y) * W + x) * 3 + c] = x < W / 2 ? 0 : 255;
  for (int method : {TMLIB_METHOD_FUSION_ADJUST, TMLIB_METHOD_FUSION_INTENSIVE}) {
    const std::vector<int> out = fuse(method, defaults(method), {a, b}, W, H);
    ASSERT_FALSE(out.empty());
    double left = 0, right = 0;
    int n = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W / 2 - 16; ++x, ++n)
        for (int c = 0; c < 3; ++c) {
          const size_t l = (size_t(y) * W + x) * 3 + c, r = (size_t(y) * W + W - 1 - x) * 3 + c;
          left += std::abs(out[l] - int(a[l]));
          right += std::abs(out[r] - int(b[r]));
        }
    EXPECT_LT(left / (3.0 * n), 4.0) << "method " << method;
    EXPECT_LT(right / (3.0 * n), 4.0) << "method " << method;
  }
}

TEST(Fusion, TransitionsBetweenFramesLeaveNoSeams) {
  // Three frames four stops apart each cover a third of the ramp. Where the fusion hands over
  // from one frame to the next, the gradient energy stays that of the texture: no column
  // stands out from the columns around it.
  const int W = 192, H = 48;
  for (int method : {TMLIB_METHOD_FUSION_ADJUST, TMLIB_METHOD_FUSION_INTENSIVE}) {
    const std::vector<int> out = fuse(method, defaults(method), bracket(W, H), W, H);
    ASSERT_FALSE(out.empty());
    const std::vector<double> e = column_energy(out, W, H);
    for (int x = 12; x < W - 12; ++x) {
      double around = 0;
      for (int d = 4; d <= 11; ++d) around = std::max({around, e[size_t(x - d)], e[size_t(x + d)]});
      EXPECT_LE(e[size_t(x)], 1.35 * around + 1.0) << "method " << method << " column " << x;
    }
  }
}

TEST(Fusion, EveryControlMovesThePictureItsWayOverItsWholeRange) {
  const int W = 96, H = 48;
  const std::vector<Frame> frames = bracket(W, H);
  struct Case {
    int method, slot;
    std::vector<float> values;
    double (*measure)(const std::vector<int> &, int, int);
    const char *name;
  };
  auto luma = [](const std::vector<int> &v, int, int) { return mean_luma(v); };
  auto chroma = [](const std::vector<int> &v, int, int) { return mean_chroma(v); };
  auto shadows = [](const std::vector<int> &v, int, int) { return shadow_luma(v); };
  auto darker = [](const std::vector<int> &v, int, int) { return -mean_luma(v); };
  const std::vector<float> sym = {-100, -50, 0, 50, 100}, clip = {0, 1, 3, 10};
  const Case cases[] = {
      {10, TMLIB_FA_ACCENTUATION, sym, mean_energy, "Accentuation (local contrast)"},
      {10, TMLIB_FA_BLENDING_POINT, sym, luma, "BlendingPoint (brightness)"},
      {10, TMLIB_FA_SHADOWS, sym, shadows, "Shadows (darkest quarter)"},
      {10, TMLIB_FA_SATURATION, sym, chroma, "Saturation (chroma)"},
      {10, TMLIB_FA_WHITE_CLIP, clip, luma, "WhiteClip (brightness)"},
      {10, TMLIB_FA_BLACK_CLIP, clip, darker, "BlackClip (darkness)"},
      {10, TMLIB_FA_MIDTONES, sym, luma, "MidtonesAdjustment (brightness)"},
      {11, TMLIB_FI_STRENGTH, {0, 25, 50, 75, 100}, mean_energy, "Strength (local contrast)"},
      {11, TMLIB_FI_SATURATION, sym, chroma, "Saturation (chroma)"},
  };
  for (const Case &c : cases) {
    double previous = -1e30;
    for (float v : c.values) {
      std::array<float, 20> p = defaults(c.method);
      p[size_t(c.slot)] = v;
      const std::vector<int> out = fuse(c.method, p, frames, W, H);
      ASSERT_FALSE(out.empty()) << c.name;
      const double m = c.measure(out, W, H);
      // A visible step each time: at least 1 % of the measure (or a hundredth of a level).
      EXPECT_GT(m, previous + std::max(0.01, 0.01 * std::fabs(previous))) << c.name << " at " << v;
      previous = m;
    }
  }
}

TEST(Fusion, AnyNumberOfWorkersGivesTheSameBits) {
  const int W = 131, H = 77;
  const std::vector<Frame> frames = bracket(W, H);
  for (int method : {TMLIB_METHOD_FUSION_ADJUST, TMLIB_METHOD_FUSION_INTENSIVE}) {
    std::array<float, 20> p = defaults(method);
    p[0] = 40;  // Accentuation / Strength: the band gain is in play too
    if (method == TMLIB_METHOD_FUSION_ADJUST) p[TMLIB_FA_WHITE_CLIP] = 0.5f;  // and the histogram
    const std::vector<int> one = fuse(method, p, frames, W, H, 1, 16);
    ASSERT_FALSE(one.empty());
    for (int workers : {2, 3, 7, 32}) EXPECT_EQ(fuse(method, p, frames, W, H, workers, 16), one) << workers;
  }
}

TEST(Fusion, RefusesHostileArguments) {
  int64_t sizes[2] = {};
  EXPECT_EQ(fusion_dims(0, 10, 3, sizes), -1);
  EXPECT_EQ(fusion_dims(10, 10, 2, sizes), -1);
  EXPECT_EQ(fusion_dims(10, 10, 3, nullptr), -1);
  EXPECT_EQ(fusion_dims(2000000000, 2000000000, 3, sizes), -4);  // cannot be represented
  ASSERT_GT(fusion_dims(16, 16, 3, sizes), 0);

  std::vector<float> accum(static_cast<size_t>(sizes[0]), 0.0f), scratch(static_cast<size_t>(sizes[1]));
  const std::vector<float> before = accum;
  const Frame f = exposure(16, 16, 16.0f);
  const std::array<float, 20> p = defaults(10);
  DimParam dim;
  init_dim_param(&dim);
  dim.v[TMLIB_DIM_WIDTH] = 16;
  dim.v[TMLIB_DIM_HEIGHT] = 16;
  dim.v[TMLIB_DIM_SPP] = 3;
  OptimParam opt;
  init_optim_param(&opt);
  auto add = [&](int method, DimParam d, int kind, int64_t stride, float gain, const void *px) {
    return fusion_add(method, p.data(), d, kind, stride, gain, px, opt, accum.data(), scratch.data());
  };
  EXPECT_EQ(add(1, dim, TMLIB_FUSION_U8, 48, 1.0f, f.data()), -1);      // not a fusion method
  EXPECT_EQ(add(10, dim, 7, 48, 1.0f, f.data()), -1);                   // unknown kind
  EXPECT_EQ(add(10, dim, TMLIB_FUSION_U8, 47, 1.0f, f.data()), -1);     // short rows
  EXPECT_EQ(add(10, dim, TMLIB_FUSION_U8, 48, 1.0f, nullptr), -1);      // no frame
  EXPECT_EQ(add(10, dim, TMLIB_FUSION_LINEAR, 48, NAN, f.data()), -1);  // no gain
  EXPECT_EQ(add(10, dim, TMLIB_FUSION_LINEAR, 48, -1.0f, f.data()), -1);
  DimParam bad = dim;
  bad.v[TMLIB_DIM_SPP] = 5;
  EXPECT_EQ(add(10, bad, TMLIB_FUSION_U8, 80, 1.0f, f.data()), -1);
  bad = dim;
  bad.v[TMLIB_DIM_HEIGHT] = -16;
  EXPECT_EQ(add(10, bad, TMLIB_FUSION_U8, 48, 1.0f, f.data()), -1);
  EXPECT_EQ(accum, before);  // nothing was added by a refused call

  // A NaN control counts as its default: the same picture.
  std::array<float, 20> nan = defaults(10);
  for (int s = 0; s < 7; ++s) nan[size_t(s)] = NAN;
  const std::vector<Frame> frames = bracket(32, 16);
  EXPECT_EQ(fuse(10, nan, frames, 32, 16), fuse(10, defaults(10), frames, 32, 16));

  std::vector<uint8_t> out(16 * 16 * 3);
  dim.v[TMLIB_DIM_OUT_BITS] = 12;
  dim.v[TMLIB_DIM_OUT_STRIDE] = 48;
  EXPECT_EQ(fusion_finish(10, p.data(), dim, 1, opt, accum.data(), out.data()), -1);  // 12 bits
  dim.v[TMLIB_DIM_OUT_BITS] = 8;
  EXPECT_EQ(fusion_finish(10, p.data(), dim, 0, opt, accum.data(), out.data()), -1);  // no frames
}
