// SPDX-License-Identifier: MIT
// The Details Enhancer's first stage end to end: right-hand sides against a plain
// reference written from the stage's formulas, threading, the work-from-disk mode and its
// failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/guarded_buffer.h"
#include "brightloom/pipeline.h"
#include "support/rgbe_planar.h"

#include "details/stage1.h"
#include "io/rgbe_pixel.h"
#include "core/tiling.h"
#include "tmlib/details.h"
#include "tmlib/params.h"
#include "tmlib/rgbe.h"

namespace {

// ---------------------------------------------------------------------------------------
// Test images

struct Image {
  int w = 0, h = 0;
  std::vector<tmlib::RgbePixel> px;  // row-major
  std::vector<uint8_t> planar() const { return tmlib::test::planar_rgbe(w, h, px); }
};

// A smooth HDR scene over several decades with a bright window (a strong edge).
Image scene(int w, int h) {
  Image im{w, h, {}};
  im.px.resize(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float l = std::exp(2.5f * std::sin(x / 13.0f) + 1.5f * std::cos(y / 9.0f));
      if (x > w / 2 && x < w / 2 + w / 6 && y > h / 4 && y < h / 2) l *= 40.0f;
      im.px[static_cast<size_t>(y) * w + x] = tmlib::rgbe_encode(l * 1.1f, l, l * 0.7f);
    }
  return im;
}

Image flat(int w, int h) {
  Image im{w, h, {}};
  im.px.assign(static_cast<size_t>(w) * h, tmlib::rgbe_encode(3.0f, 2.0f, 1.0f));
  return im;
}

std::vector<float> table_m8() {
  std::vector<float> t(256);
  exp_lut(t.data(), -8);
  return t;
}

struct StageRun {
  std::vector<int32_t> dims;
  std::vector<float> pyramid;
  std::vector<float> lum;
  int result = 0;
};

std::vector<int32_t> dims_for(int w, int h, int extraLevels, int analysisLevels) {
  std::vector<int32_t> d(13, 0);
  tm_dimSAV(w, h, extraLevels, analysisLevels, d.data());
  return d;
}

int64_t capacity(const std::vector<int32_t> &d) { return std::max(d[5], d[6]); }

StageRun run_memory(const Image &im, std::vector<int32_t> dims, std::vector<float> param, int workers) {
  StageRun r;
  r.dims = dims;
  const int64_t m = capacity(dims);
  std::vector<uint8_t> src = im.planar();
  std::vector<uint8_t> work(std::max<size_t>(4 * m, src.size()));
  std::copy(src.begin(), src.end(), work.begin());
  r.pyramid.assign(m, -123.0f);
  r.lum.assign(7, 0.0f);
  DimParam dim;
  init_dim_param(&dim);
  dim.v[0] = im.w;
  dim.v[1] = im.h;
  dim.v[6] = 3 * im.w;
  OptimParam opt;
  init_optim_param(&opt);
  opt.v[0] = workers;
  const auto table = table_m8();
  r.result = calc_tm1(0, dim, param.data(), r.dims.data(), r.lum.data(), table.data(), nullptr, 0, opt, work.data(),
                      r.pyramid.data());
  return r;
}

std::vector<float> params(float luminosity, float micro, float microSmooth, float is360, float window, float mode) {
  std::vector<float> p(20, 0.0f);
  p[0] = luminosity;
  p[3] = 0.25f;
  p[6] = micro;
  p[7] = microSmooth;
  p[15] = is360;
  p[16] = mode;
  p[18] = window;
  return p;
}

// ---------------------------------------------------------------------------------------
// A plain reference of the stage, written from its formulas with whole-grid accessors.

struct Grid {
  int w = 0, h = 0;
  std::vector<float> v;
  Grid() = default;
  Grid(int w_, int h_) : w(w_), h(h_), v(static_cast<size_t>(w_) * h_) {}
  float &at(int x, int y) { return v[static_cast<size_t>(y) * w + x]; }
  float get(int x, int y) const { return v[static_cast<size_t>(y) * w + x]; }
};

Grid ref_log_luminance(const Image &im, const std::vector<float> &table) {
  Grid g(im.w, im.h);
  double sum = 0.0;
  int64_t n = 0;
  for (int i = 0; i < im.w * im.h; ++i) {
    const auto &p = im.px[i];
    const float y = 0.2126f * p.r + 0.7152f * p.g + 0.0722f * p.b;
    if (p.e == 0 || y <= 0.0f) {
      g.v[i] = -1e9f;
      continue;
    }
    g.v[i] = std::log(y * table[p.e]);
    sum += g.v[i];
    ++n;
  }
  const float mean = static_cast<float>(sum / n);
  for (auto &v : g.v)
    if (v < -1e8f) v = mean;
  return g;
}

Grid ref_reduce(const Grid &f, bool is360) {
  Grid c((f.w + 1) / 2, (f.h + 1) / 2);
  // Rows below the level are clamped to its last row; columns wrap in a panorama.
  auto F = [&](int x, int y) { return f.get(is360 ? (x + f.w) % f.w : x, std::min(y, f.h - 1)); };
  for (int i = 0; i < c.h; ++i)
    for (int j = 0; j < c.w; ++j) {
      const int r = 2 * i, x = 2 * j;
      float v;
      if (r == 0 && x == 0) {
        v = 0.5f * F(0, 0) + 0.25f * (F(1, 0) + F(0, 1));
      } else if (is360) {
        const float up = r == 0 ? F(0, 0) : F(x, r - 1);
        const float ul = r == 0 ? F(0, 0) : F(x - 1, r - 1);
        const float ur = r == 0 ? F(f.w / 2, 0) : F(x + 1, r - 1);
        v = 0.25f * F(x, r) + 0.125f * (F(x - 1, r) + F(x + 1, r) + up + F(x, r + 1)) +
            0.0625f * (ul + ur + F(x - 1, r + 1) + F(x + 1, r + 1));
      } else {
        const bool hasL = x > 0, hasR = x + 1 < f.w, hasU = r > 0;
        float edges = 0.0f, diags = 0.0f;
        int nEdges = 0;
        if (hasL) edges += F(x - 1, r), ++nEdges;
        if (hasR) edges += F(x + 1, r), ++nEdges;
        if (hasU) edges += F(x, r - 1), ++nEdges;
        edges += F(x, r + 1), ++nEdges;
        if (hasU && hasL) diags += F(x - 1, r - 1);
        if (hasU && hasR) diags += F(x + 1, r - 1);
        if (hasL) diags += F(x - 1, r + 1);
        if (hasR) diags += F(x + 1, r + 1);
        if (nEdges == 4)
          v = 0.25f * F(x, r) + 0.125f * edges + 0.0625f * diags;
        else if (nEdges == 3)
          v = 0.33333f * F(x, r) + 0.166667f * edges + diags / 12.0f;
        else
          v = 0.5f * F(x, r) + 0.25f * edges;
      }
      c.at(j, i) = v;
    }
  return c;
}

// Attenuation factors of one level.
Grid ref_factors(const Grid &H, float scale, const std::vector<float> &param, bool is360) {
  const int w = H.w, h = H.h;
  Grid g(w, h);
  double sum = 0.0;
  auto tame = [](float d) { return std::fabs(d) > 100.0f ? 0.0f : d; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float dx, dy;
      const bool innerRow = y > 0 && y < h - 1;
      if (is360 && innerRow && x == 0)
        dx = H.get(1, y) - H.get(w - 1, y);
      else if (is360 && innerRow && x == w - 1)
        dx = H.get(0, y) - H.get(w - 2, y);
      else if (x == 0)
        dx = H.get(1, y) - H.get(0, y);
      else if (x == w - 1)
        dx = H.get(x, y) - H.get(x - 1, y);
      else
        dx = H.get(x + 1, y) - H.get(x - 1, y);
      if (y == 0)
        dy = (is360 && x != 0 && x != w - 1) ? H.get(x, 1) - H.get(w / 2, 0) : H.get(x, 1) - H.get(x, 0);
      else if (y == h - 1)
        dy = H.get(x, y) - H.get(x, y - 1);
      else
        dy = H.get(x, y + 1) - H.get(x, y - 1);
      dx = tame(dx);
      dy = tame(dy);
      g.at(x, y) = scale * std::sqrt(dx * dx + dy * dy);
      sum += g.at(x, y);
    }
  const float comp = static_cast<float>((param[0] + 10.0f) * 0.6 + 1.0);
  const float exponent = (comp / -100.0f + 1.0f) - 1.0f;  // as the stage rounds it
  const float m = param[6];
  const float gm = m <= 2.0f ? m / 2.5f : (m - 2.0f) * 0.125f + 0.8f;
  const auto alphaFactor = static_cast<float>(0.1 * std::pow(2.0, gm));
  const float s = param[7];
  const float smoothFactor = s <= 11.0f ? s / 15.0f : (s - 11.0f) / 10.0f + 0.7333f;
  const auto avg = static_cast<float>(sum / (static_cast<double>(w) * h));
  const float alpha = alphaFactor * avg, c = smoothFactor * avg;
  if (alpha > 0.0f)
    for (auto &v : g.v)
      if (v != 0.0f) v = std::pow((c + v) / alpha, exponent);
  return g;
}

// Coarse grid enlarged 2x to fine x fine's size.
Grid ref_upsample(const Grid &c, int wf, int hf, bool is360) {
  Grid u(wf, hf);
  for (int i = 0; i < hf; ++i)
    for (int x = 0; x < wf; ++x) {
      const int r0 = i / 2, c0 = x / 2;
      const bool rowMid = i % 2 == 1 && r0 + 1 < c.h;
      int c1 = -1;
      if (x % 2 == 1) c1 = c0 + 1 < c.w ? c0 + 1 : (is360 ? 0 : -1);
      if (c1 < 0)
        u.at(x, i) = rowMid ? 0.5f * c.get(c0, r0) + 0.5f * c.get(c0, r0 + 1) : c.get(c0, r0);
      else if (!rowMid)
        u.at(x, i) = 0.5f * c.get(c0, r0) + 0.5f * c.get(c1, r0);
      else
        u.at(x, i) =
            0.25f * c.get(c0, r0) + 0.25f * c.get(c1, r0) + 0.25f * c.get(c0, r0 + 1) + 0.25f * c.get(c1, r0 + 1);
    }
  return u;
}

// The divergence of the attenuated forward-difference gradient, zero flux at the borders.
Grid ref_divergence(const Grid &phi, const Grid &H) {
  Grid b(H.w, H.h);
  auto in = [&](int x, int y) { return x >= 0 && y >= 0 && x < H.w && y < H.h; };
  for (int y = 0; y < H.h; ++y)
    for (int x = 0; x < H.w; ++x) {
      const float t1 = in(x + 1, y) ? phi.get(x, y) * (H.get(x + 1, y) - H.get(x, y)) : 0.0f;
      const float t2 = in(x - 1, y) ? phi.get(x - 1, y) * (H.get(x, y) - H.get(x - 1, y)) : 0.0f;
      const float t3 = in(x, y + 1) ? phi.get(x, y) * (H.get(x, y + 1) - H.get(x, y)) : 0.0f;
      const float t4 = in(x, y - 1) ? phi.get(x, y - 1) * (H.get(x, y) - H.get(x, y - 1)) : 0.0f;
      b.at(x, y) = t1 - t2 + t3 - t4;
    }
  return b;
}

// Right-hand sides of levels 0 .. lastLevel with `window` levels per attenuation map.
std::vector<Grid> reference_rhs(const Image &im, const std::vector<float> &param, int levels, int lastLevel,
                                int window) {
  const bool is360 = param[15] != 0.0f;
  std::vector<Grid> H{ref_log_luminance(im, table_m8())};
  for (int k = 1; k < levels; ++k) H.push_back(ref_reduce(H.back(), is360));
  std::vector<Grid> F;
  float scale = 0.5f;
  for (int k = 0; k < levels; ++k, scale *= 0.5f) F.push_back(ref_factors(H[k], scale, param, is360));
  std::vector<Grid> rhs;
  for (int k = 0; k <= lastLevel; ++k) {
    const int top = std::min(k + window - 1, levels - 1);
    Grid P = F[top];
    for (int j = top - 1; j >= k; --j) {
      const Grid up = ref_upsample(P, F[j].w, F[j].h, is360);
      Grid next(F[j].w, F[j].h);
      for (size_t i = 0; i < next.v.size(); ++i) next.v[i] = F[j].v[i] * up.v[i];
      P = next;
    }
    rhs.push_back(ref_divergence(P, H[k]));
  }
  return rhs;
}

void expect_rhs_equal(const StageRun &run, const std::vector<Grid> &ref, const std::string &what) {
  int64_t offset = 0;
  for (size_t k = 0; k < ref.size(); ++k) {
    float maxAbs = 0.0f;
    for (float v : ref[k].v) maxAbs = std::max(maxAbs, std::fabs(v));
    ASSERT_GT(maxAbs, 0.0f) << what << " level " << k << ": the reference itself is flat";
    // The reference rounds exactly as the stage does, so the results are identical.
    int bad = 0;
    for (size_t i = 0; i < ref[k].v.size() && bad < 5; ++i) {
      const float got = run.pyramid[offset + i];
      if (!(got == ref[k].v[i])) {
        ADD_FAILURE() << what << " level " << k << " cell " << i << ": " << got << " vs " << ref[k].v[i];
        ++bad;
      }
    }
    offset += static_cast<int64_t>(ref[k].w) * ref[k].h;
  }
}

TEST(Stage1RightHandSides, MatchAPlainReferenceWithAndWithoutPanoramaWrap) {
  const Image im = scene(200, 150);
  // L = 7, B = 10: Gaussian levels 200x150 .. 7x5 (six), right-hand sides of levels 0..5.
  const auto dims = dims_for(200, 150, 5, 0);
  ASSERT_EQ(dims[11], 7);
  // Slot 18 is the solver code truncated toward zero, as stage 2 reads it: 0.5 is code 0
  // and takes the six-level window like 0.
  for (float is360 : {0.0f, 1.0f})
    for (float window : {0.0f, 0.5f, 1.0f}) {
      const auto p = params(0.0f, 0.0f, 2.0f, is360, window, 1.0f);
      const StageRun run = run_memory(im, dims, p, 1);
      ASSERT_EQ(run.result, 6);
      expect_rhs_equal(run, reference_rhs(im, p, 6, 5, static_cast<int>(window) <= 0 ? 6 : 5),
                       "is360 " + std::to_string(is360) + " window code " + std::to_string(window));
    }
  // The other branches of the parameter formulas, in single precision: at Microcontrast 4.2
  // and Microsmoothing 12.1 a sum taken in double rounds to a different float.
  for (const auto &[micro, smooth] : {std::pair{3.5f, 14.0f}, std::pair{4.2f, 12.1f}}) {
    const auto p = params(7.0f, micro, smooth, 0.0f, 0.0f, 1.0f);
    expect_rhs_equal(run_memory(im, dims, p, 1), reference_rhs(im, p, 6, 5, 6),
                     "strong settings " + std::to_string(micro));
  }
}

TEST(Stage1RightHandSides, OddSidesAndTheSmallestImages) {
  // Odd widths and heights on every level: last-column sampling and clamped last rows.
  const Image odd = scene(53, 37);
  const auto dOdd = dims_for(53, 37, 4, 0);  // Gaussian 53x37, 27x19, 14x10, 7x5
  const auto p = params(0.0f, 1.0f, 2.0f, 1.0f, 0.0f, 1.0f);
  const StageRun run = run_memory(odd, dOdd, p, 1);
  ASSERT_EQ(run.result, 3);
  expect_rhs_equal(run, reference_rhs(odd, p, 4, 2, 6), "53x37 panorama");

  // 10 x 10: tm_dim says -1 levels, yet level 0 gets its right-hand side.
  const Image tiny = scene(10, 10);
  std::vector<int32_t> d(13, 0);
  const auto p10 = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f);
  EXPECT_EQ(tm_dim(10, 10, p10.data(), d.data()), -1);
  const StageRun r10 = run_memory(tiny, d, p10, 2);
  ASSERT_EQ(r10.result, 1);
  expect_rhs_equal(r10, reference_rhs(tiny, p10, 2, 0, 6), "10x10");
}

TEST(Stage1RightHandSides, DiscreteLevelsUseTheFullProductOnLevelZeroAndDropOutliers) {
  const Image im = scene(200, 150);
  auto p = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 0.0f);
  p[5] = 1.0f;
  std::vector<int32_t> d(13, 0);
  ASSERT_EQ(tm_dim(200, 150, p.data(), d.data()), 3);  // B = 4: five Gaussian levels
  const StageRun run = run_memory(im, d, p, 2);
  ASSERT_EQ(run.result, 1);
  auto ref = reference_rhs(im, p, 5, 0, 5);
  for (auto &v : ref[0].v)
    if (v > 100.0f || v < -100.0f) v = 0.0f;
  expect_rhs_equal(run, ref, "discrete");
}

TEST(Stage1RightHandSides, FlatImageGivesZeroEverywhere) {
  const Image im = flat(64, 48);
  const auto dims = dims_for(64, 48, 3, 0);  // L = 4: right-hand sides of levels 0..2
  const StageRun run = run_memory(im, dims, params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f), 2);
  ASSERT_EQ(run.result, 3);
  // Level 0 has no gradient at all: its factors stay 0 and so does its right-hand side.
  for (int64_t i = 0; i < 64 * 48; ++i) ASSERT_EQ(run.pyramid[i], 0.0f) << i;
  // The reduction's border weights (0.33333, 0.166667, 1/12) sum to 0.9999977, so the
  // coarser levels of a flat image carry differences of a few millionths at their borders.
  for (int64_t i = 64 * 48; i < 64 * 48 + 32 * 24 + 16 * 12; ++i) ASSERT_LT(std::fabs(run.pyramid[i]), 1e-5f) << i;
  // Statistics of a single luminance: average = minimum, maximum over average = 1.
  const float y = 0.2126f * im.px[0].r + 0.7152f * im.px[0].g + 0.0722f * im.px[0].b;
  EXPECT_FLOAT_EQ(run.lum[0], y * table_m8()[im.px[0].e]);
  EXPECT_FLOAT_EQ(run.lum[1], 1.0f);
  EXPECT_FLOAT_EQ(run.lum[2], run.lum[0]);
}

TEST(Stage1RightHandSides, SolverLevelsBeyondAShortAnalysisPyramidAreZero) {
  // 400 x 12 with six extra levels: L = 7, but the analysis stops at 100 x 3 (three levels).
  const Image im = scene(400, 12);
  const auto dims = dims_for(400, 12, 6, 0);
  ASSERT_EQ(dims[11], 7);
  const StageRun run = run_memory(im, dims, params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f), 1);
  ASSERT_EQ(run.result, 3);
  const int64_t end = 400 * 12 + 200 * 6 + 100 * 3;
  for (int64_t i = end; i < capacity(dims); ++i) ASSERT_EQ(run.pyramid[i], 0.0f) << i;
  expect_rhs_equal(run, reference_rhs(im, params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f), 3, 2, 6), "400x12");
}

TEST(Stage1Statistics, EightBitSourcesWithoutARangeLeaveThePercentilesAlone) {
  // 8-bit samples do not measure lumParam 0..2; with the caller's zeros there is no range.
  // Their 256-entry curve ends right before an inaccessible page: no larger index is read.
  const int w = 40, h = 30;
  std::vector<uint8_t> src(3 * w * h);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 % 256);
  std::vector<float> c8(256);
  for (int i = 0; i < 256; ++i) c8[i] = static_cast<float>(i);
  const auto curve = tmlib::test::GuardedBuffer::copy_of(c8);
  auto d = dims_for(w, h, 2, 0);
  std::vector<uint8_t> work(std::max<size_t>(4 * capacity(d), src.size()));
  std::copy(src.begin(), src.end(), work.begin());
  std::vector<float> pyramid(capacity(d)), lum(7, 0.0f);
  DimParam dim;
  init_dim_param(&dim);
  dim.v[0] = w;
  dim.v[1] = h;
  dim.v[6] = 3 * w;
  OptimParam opt;
  init_optim_param(&opt);
  auto p = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f);
  EXPECT_GT(
      calc_tm1(2, dim, p.data(), d.data(), lum.data(), nullptr, curve.as<float>(), 0, opt, work.data(), pyramid.data()),
      0);
  EXPECT_EQ(lum, std::vector<float>(7, 0.0f));
  for (float v : pyramid) ASSERT_TRUE(std::isfinite(v));
}

TEST(Stage1Statistics, PercentilesAreOrderedAndTheWhitePointFollowsTheClip) {
  const Image im = scene(200, 150);
  const auto dims = dims_for(200, 150, 0, 0);
  auto p = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f);
  p[3] = 0.0f;
  const StageRun none = run_memory(im, dims, p, 1);
  p[3] = 10.0f;
  const StageRun tenPercent = run_memory(im, dims, p, 1);
  const float logMin = std::log(none.lum[2]);
  const float logMax = std::log(none.lum[0] * none.lum[1]);
  EXPECT_LE(logMin, none.lum[4]);
  EXPECT_LE(none.lum[4], none.lum[3]);
  EXPECT_LE(none.lum[3], none.lum[5]);
  EXPECT_LE(none.lum[5], none.lum[6]);
  EXPECT_NEAR(none.lum[6], logMax, 1e-4f) << "no clip: the white point is the maximum";
  EXPECT_LT(tenPercent.lum[6], none.lum[6] - 0.01f);
  EXPECT_GT(tenPercent.lum[6], none.lum[3]);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(tenPercent.lum[k], none.lum[k]) << k;
}

// ---------------------------------------------------------------------------------------
// Threads

TEST(Stage1Threads, AnyWorkerCountGivesTheSamePyramid) {
  const Image im = scene(200, 150);
  const auto dims = dims_for(200, 150, 5, 0);
  const auto p = params(0.0f, 0.0f, 2.0f, 1.0f, 0.0f, 1.0f);
  const StageRun one = run_memory(im, dims, p, 1);
  for (int workers : {2, 3, 7, 32, 100}) {
    const StageRun many = run_memory(im, dims, p, workers);
    EXPECT_EQ(many.result, one.result);
    EXPECT_EQ(0, std::memcmp(many.pyramid.data(), one.pyramid.data(), sizeof(float) * one.pyramid.size()))
        << workers << " workers";
    EXPECT_EQ(many.lum, one.lum);
  }
}

TEST(Stage1Threads, AThreadThatCannotBeCreatedLeavesItsBandToTheCaller) {
  // One level attenuated directly: each cell exactly once, whichever creation fails.
  const int w = 61, h = 47;
  std::vector<float> level(w * h);
  for (int i = 0; i < w * h; ++i) level[i] = (i % 9) * 0.1f;
  std::vector<float> expect = level;
  tm1b(w, h, 0, 0.3f, -0.2f, 0.05f, expect.data());
  for (int failAt : {0, 1, 2}) {
    std::vector<float> got = level;
    tmlib::testing::fail_thread_creation_at(failAt);
    const auto mode = tmlib::stage1::attenuate_level(3, w, h, 0, 0.3f, -0.2f, 0.05f, got.data());
    tmlib::testing::fail_thread_creation_at(-1);
    EXPECT_EQ(mode, tmlib::RunMode::kFellBack) << failAt;
    EXPECT_EQ(got, expect) << "creation " << failAt << " failed";
    EXPECT_EQ(tmlib::testing::live_workers(), 0);
  }
  // More workers than rows: the early bands are empty, the last takes every row.
  std::vector<float> wide(200 * 10), wideExpect;
  for (int i = 0; i < 2000; ++i) wide[i] = (i % 13) * 0.2f;
  wideExpect = wide;
  tm1b(200, 10, 0, 0.3f, -0.2f, 0.05f, wideExpect.data());
  EXPECT_EQ(tmlib::stage1::attenuate_level(32, 200, 10, 0, 0.3f, -0.2f, 0.05f, wide.data()), tmlib::RunMode::kThreaded);
  EXPECT_EQ(wide, wideExpect);
  // Small levels stay on the calling thread.
  std::vector<float> small(30 * 40, 1.0f);
  EXPECT_EQ(tmlib::stage1::attenuate_level(4, 30, 40, 0, 1.0f, -0.1f, 0.0f, small.data()), tmlib::RunMode::kSequential);

  // The whole stage with a failing creation equals the single-threaded run.
  const Image im = scene(200, 150);
  const auto dims = dims_for(200, 150, 5, 0);
  const auto p = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f);
  const StageRun one = run_memory(im, dims, p, 1);
  tmlib::testing::fail_thread_creation_at(1);
  const StageRun failing = run_memory(im, dims, p, 3);
  tmlib::testing::fail_thread_creation_at(-1);
  EXPECT_EQ(0, std::memcmp(failing.pyramid.data(), one.pyramid.data(), sizeof(float) * one.pyramid.size()));
}

// ---------------------------------------------------------------------------------------
// Work from disk

class Stage1Disk : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/stage1-disk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    image_ = scene(200, 150);
    picture_ = dir_ + "/scene.hdr";
    decoded_ = dir_ + "/decoded.tmp";
    saved_ = dir_ + "/pyramid.tmp";
    write_picture();
  }
  void write_picture() {
    // Flat (uncompressed) Radiance data, interleaved R, G, B, E per pixel.
    ASSERT_EQ(brightloom::pipeline::write_radiance(picture_, image_.planar().data(), image_.w, image_.h,
                                                   brightloom::pipeline::RadianceLayout::Flat),
              0);
    ASSERT_FALSE(image_.px[0].r == 2 && image_.px[0].g == 2) << "would read as run-length data";
  }
  void TearDown() override {
    // Whatever a test left in the folder (some tests point the paths elsewhere) goes with it.
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  StageRun run_disk(const char *decodedPath, const char *savedPath, int docType = 0) {
    StageRun r;
    r.dims = dims_for(image_.w, image_.h, 5, 0);
    r.pyramid.assign(capacity(r.dims), -123.0f);
    r.lum.assign(7, 0.0f);
    DimParam dim;
    init_dim_param(&dim);
    dim.v[0] = image_.w;
    dim.v[1] = image_.h;
    OptimParam opt;
    init_optim_param(&opt);
    opt.v[0] = 2;
    opt.v[1] = 1;
    opt.v[2] = reinterpret_cast<intptr_t>(picture_.c_str());
    opt.v[3] = reinterpret_cast<intptr_t>(decodedPath);
    opt.v[4] = reinterpret_cast<intptr_t>(savedPath);
    auto p = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f);
    const auto table = table_m8();
    r.result = calc_tm1(docType, dim, p.data(), r.dims.data(), r.lum.data(), table.data(), nullptr, 0, opt, nullptr,
                        r.pyramid.data());
    return r;
  }

  std::string dir_, picture_, decoded_, saved_;
  Image image_;
};

TEST_F(Stage1Disk, GivesTheSameRightHandSidesAsInMemory) {
  const StageRun mem =
      run_memory(image_, dims_for(image_.w, image_.h, 5, 0), params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f), 2);
  const StageRun disk = run_disk(decoded_.c_str(), saved_.c_str());
  ASSERT_EQ(disk.result, mem.result);
  // Levels 0..5 carry right-hand sides; their extent is the offset of level 6.
  int64_t n = 0;
  int w = image_.w, h = image_.h;
  for (int k = 0; k < 6; ++k, w = (w + 1) / 2, h = (h + 1) / 2) n += static_cast<int64_t>(w) * h;
  EXPECT_EQ(0, std::memcmp(disk.pyramid.data(), mem.pyramid.data(), sizeof(float) * n));
  EXPECT_EQ(disk.lum, mem.lum);
}

TEST_F(Stage1Disk, FailuresOfTheTemporaryFilesAreReported) {
  const std::string missing = dir_ + "/no/such/folder/file.tmp";
  struct Case {
    const char *decoded, *saved;
    int code;
    const char *message;
  } cases[] = {
      {missing.c_str(), saved_.c_str(), -1, "can not open temporary file\n"},
      {"/dev/full", saved_.c_str(), -2, "could not write to temporary file\n"},
      {"/dev/null", saved_.c_str(), -2, "can not read temporary file at 0 - returned 0 instead of 4\n"},
      {decoded_.c_str(), missing.c_str(), -1, "can not open temporary file\n"},
      {decoded_.c_str(), "/dev/full", -2, "could not write to temporary file\n"},
      {decoded_.c_str(), "/dev/null", -2, "can not read temporary file at 0 - returned 0 instead of 4\n"},
      {decoded_.c_str(), nullptr, -1, "can not open temporary file\n"},
  };
  for (const auto &c : cases) {
    ::testing::internal::CaptureStdout();
    const StageRun r = run_disk(c.decoded, c.saved);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.result, c.code) << c.decoded << " / " << (c.saved ? c.saved : "null");
    EXPECT_EQ(out, c.message) << c.decoded << " / " << (c.saved ? c.saved : "null");
  }
  EXPECT_EQ(run_disk(decoded_.c_str(), saved_.c_str(), 1).result, -1) << "only RGBE sources come from disk";
  picture_ = dir_ + "/absent.hdr";
  EXPECT_EQ(run_disk(decoded_.c_str(), saved_.c_str()).result, -1);
}

TEST_F(Stage1Disk, TheDecodedSourceTakesTheMinimumForInvalidPixels) {
  std::vector<float> out(static_cast<size_t>(image_.w) * image_.h), lum(7);
  const auto table = table_m8();
  ASSERT_EQ(
      calc_tm0s(0, image_.w, image_.h, lum.data(), table.data(), 0, picture_.c_str(), decoded_.c_str(), out.data()),
      image_.h);
  std::vector<float> mem(out.size()), lumMem(7);
  const auto planar = image_.planar();
  ASSERT_EQ(calc_tm0(0, 3, image_.w, image_.h, 0, image_.w, image_.h, image_.w, image_.h, lumMem.data(), table.data(),
                     nullptr, planar.data(), mem.data()),
            image_.h);
  EXPECT_EQ(out, mem);
  EXPECT_EQ(lum, lumMem);
  EXPECT_EQ(
      calc_tm0s(1, image_.w, image_.h, lum.data(), table.data(), 0, picture_.c_str(), decoded_.c_str(), out.data()),
      -3);
  EXPECT_EQ(calc_tm0s(0, 9, image_.h, lum.data(), table.data(), 0, picture_.c_str(), decoded_.c_str(), out.data()), -1);

  // A picture with black pixels: from disk they take the smallest valid value.
  image_.px[3] = {0, 0, 0, 0};
  image_.px[400] = {10, 10, 10, 0};
  write_picture();
  ASSERT_EQ(
      calc_tm0s(0, image_.w, image_.h, lum.data(), table.data(), 0, picture_.c_str(), decoded_.c_str(), out.data()),
      image_.h);
  const float lowest = std::log(lum[2]);
  EXPECT_NEAR(out[3], lowest, 1e-5f);
  EXPECT_NEAR(out[400], lowest, 1e-5f);
  EXPECT_EQ(*std::min_element(out.begin(), out.end()), out[3]);
}

// ---------------------------------------------------------------------------------------
// Refused records

TEST(Stage1Refusals, RecordsThatDoNotDescribeTheImageAreRefused) {
  const Image im = scene(64, 48);
  const auto p = params(0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 1.0f);
  EXPECT_EQ(run_memory(im, std::vector<int32_t>(13, 0), p, 1).result, -1) << "the zeroed record of a refused size";
  auto d = dims_for(64, 48, 0, 0);
  d[6] += 1;
  EXPECT_EQ(run_memory(im, d, p, 1).result, -1);
  d = dims_for(64, 48, 0, 0);
  d[3] = 60;  // level 0 narrower than the image
  EXPECT_EQ(run_memory(im, d, p, 1).result, -1);
  d = dims_for(64, 48, 0, 0);
  d[12] = 1000000;
  EXPECT_EQ(run_memory(im, d, p, 1).result, -1);
}

}  // namespace
