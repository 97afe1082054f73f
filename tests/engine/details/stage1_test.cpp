// SPDX-License-Identifier: MIT
// Pyramid sizing, log luminance, the Gaussian reduction's borders and the attenuation map's
// upsampling of the Details Enhancer's first stage.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/guarded_buffer.h"
#include "support/rgbe_planar.h"

#include "details/stage1.h"
#include "io/rgbe_pixel.h"
#include "tmlib/details.h"
#include "tmlib/rgbe.h"

namespace {

using Dims = std::vector<int32_t>;

Dims sentinel_dims() { return Dims(13, -77); }

// ---------------------------------------------------------------------------------------
// Pyramid sizes

TEST(Stage1PyramidSizes, SidesOfNineOrLessAreRefusedAndNothingIsFilled) {
  for (auto [w, h] : {std::pair{9, 200}, std::pair{200, 9}, std::pair{0, 0}, std::pair{-5, 300}}) {
    Dims d = sentinel_dims();
    EXPECT_EQ(tm_dimSAV(w, h, 0, 0, d.data()), -1) << w << "x" << h;
    EXPECT_EQ(d, sentinel_dims());
  }
  float param[20] = {};
  param[16] = 1.0f;
  Dims d = sentinel_dims();
  EXPECT_EQ(tm_dim(9, 200, param, d.data()), -1);
  EXPECT_EQ(d, sentinel_dims());
}

TEST(Stage1PyramidSizes, TenByTenGivesMinusOneLevelsButAFilledRecord) {
  float param[20] = {};
  param[16] = 1.0f;
  Dims d = sentinel_dims();
  EXPECT_EQ(tm_dim(10, 10, param, d.data()), -1);
  EXPECT_EQ(d[0], -77) << "element 0 belongs to the caller";
  // L = -1: no solver halving; B = L + 3 = 2: 10x10 -> 5x5, then stuck at 5x5.
  const Dims expected{-77, 10, 10, 10, 10, 100, 100 + 25 + 25, 10, 10, 5, 5, -1, 2};
  EXPECT_EQ(d, expected);
}

TEST(Stage1PyramidSizes, LargeImageWithBothSmoothingModes) {
  float param[20] = {};
  param[16] = 1.0f;  // continuous slider: L = n = 7, B = 10
  Dims d = sentinel_dims();
  EXPECT_EQ(tm_dim(4000, 3000, param, d.data()), 7);
  // 4000x3000, 2000x1500, 1000x750, 500x375, 250x188, 125x94, 63x47, 32x24 | 16x12, 8x6, 4x3
  const int64_t solver = 12000000 + 3000000 + 750000 + 187500 + 47000 + 11750 + 2961 + 768;
  EXPECT_EQ(d[5], solver);
  EXPECT_EQ(d[6], solver + 192 + 48 + 12);
  EXPECT_EQ(d[7], 32);
  EXPECT_EQ(d[8], 24);
  EXPECT_EQ(d[9], 4);
  EXPECT_EQ(d[10], 3);
  EXPECT_EQ(d[11], 7);
  EXPECT_EQ(d[12], 10);

  param[16] = 0.0f;  // discrete levels: L = n + 2 - code, B = 4
  for (int code = 0; code <= 4; ++code) {
    param[5] = static_cast<float>(code);
    EXPECT_EQ(tm_dim(4000, 3000, param, d.data()), 9 - code) << "code " << code;
    EXPECT_EQ(d[12], 4);
    EXPECT_EQ(d[6], 12000000 + 3000000 + 750000 + 187500 + 47000);
    EXPECT_EQ(d[9], 250);
    EXPECT_EQ(d[10], 188);
  }
  param[5] = 2.0f;
  EXPECT_EQ(tm_dim(4000, 3000, param, d.data()), 7) << "level code 2 gives L = n";
  EXPECT_EQ(d[5], solver);
}

TEST(Stage1PyramidSizes, SizesThatDoNotFitTheRecordAreRefused) {
  Dims d = sentinel_dims();
  EXPECT_EQ(tm_dimSAV(100000, 100000, 0, 0, d.data()), -4);  // 1e10 cells
  EXPECT_EQ(tm_dimSAV(100, 100, INT_MAX / 2 - 10, 0, d.data()), -4);
  // A negative level count is a valid answer: no solver halving at all.
  EXPECT_EQ(tm_dimSAV(100, 100, -50, 5, d.data()), -48);
  EXPECT_EQ(d[5], 10000);
  EXPECT_EQ(tm_dimSAV(1000, 1000, 0, 1000000000, d.data()), -4);
  float param[20] = {};
  param[5] = NAN;  // discrete levels with a meaningless code: no undefined conversion
  EXPECT_GE(tm_dim(1000, 1000, param, d.data()), 0);
}

// ---------------------------------------------------------------------------------------
// Log luminance

using tmlib::test::planar_rgbe;

std::vector<float> exponent_table(int offset) {
  std::vector<float> t(256);
  exp_lut(t.data(), offset);
  return t;
}

TEST(Stage1LogLuminance, InvalidRgbePixelsTakeTheMeanAndStayOutOfTheStatistics) {
  const int w = 12, h = 10;
  std::vector<tmlib::RgbePixel> px(w * h);
  for (int i = 0; i < w * h; ++i) px[i] = tmlib::rgbe_encode(0.5f + 0.01f * i, 0.25f + 0.02f * i, 0.125f);
  px[5] = {200, 200, 200, 0};  // exponent 0
  px[17] = {0, 0, 0, 140};     // luminance 0
  px[119] = {0, 0, 0, 0};      // black
  const auto src = planar_rgbe(w, h, px);
  const auto table = exponent_table(-8);
  std::vector<float> out(w * h), lum(7, -1.0f);
  ASSERT_EQ(calc_tm0(0, 3, w, h, 0, w, h, w, h, lum.data(), table.data(), nullptr, src.data(), out.data()), h);

  double sum = 0.0;
  float lo = 1e30f, hi = -1e30f;
  int valid = 0;
  for (int i = 0; i < w * h; ++i) {
    if (i == 5 || i == 17 || i == 119) continue;
    const float y = 0.2126f * px[i].r + 0.7152f * px[i].g + 0.0722f * px[i].b;
    const float v = std::log(y * table[px[i].e]);
    EXPECT_EQ(out[i], v) << i;
    sum += v;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    ++valid;
  }
  const float mean = static_cast<float>(sum / valid);
  EXPECT_EQ(out[5], mean);
  EXPECT_EQ(out[17], mean);
  EXPECT_EQ(out[119], mean);
  EXPECT_FLOAT_EQ(lum[0], std::exp(mean));
  EXPECT_FLOAT_EQ(lum[0] * lum[1], std::exp(hi));
  EXPECT_FLOAT_EQ(lum[2], std::exp(lo));
  EXPECT_EQ(lum[3], -1.0f) << "calc_tm0 writes only elements 0..2";
}

TEST(Stage1LogLuminance, SampleKindsUseTheirWeightsAndPadTheLevel) {
  const int w = 10, h = 11, spp = 4, rowLen = 45;  // rows longer than w * spp
  std::vector<float> curve16(65536), curve8(256);
  for (int i = 0; i < 65536; ++i) curve16[i] = static_cast<float>(i) * 0.5f;
  for (int i = 0; i < 256; ++i) curve8[i] = static_cast<float>(i) * 3.0f;
  std::vector<uint16_t> s16(rowLen * h, 0);
  std::vector<uint8_t> s8(rowLen * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < spp; ++c) {
        s16[y * rowLen + x * spp + c] = static_cast<uint16_t>(100 * c + 7 * x + 13 * y);
        s8[y * rowLen + x * spp + c] = static_cast<uint8_t>(20 * c + x + 2 * y);
      }
  for (int c = 0; c < spp; ++c) s16[c] = 0;  // a black pixel: luminance clamped to 1
  const int w0 = 13, h0 = 12;                // level 0 larger than the image: repeated column and row
  std::vector<float> out16(w0 * h0), out8(w0 * h0), lum(7, -1.0f), lum8(7, -1.0f);
  ASSERT_EQ(calc_tm0(1, spp, w, h, rowLen, w, h, w0, h0, lum.data(), nullptr, curve16.data(), s16.data(), out16.data()),
            h);
  ASSERT_EQ(calc_tm0(2, spp, w, h, rowLen, w, h, w0, h0, lum8.data(), nullptr, curve8.data(), s8.data(), out8.data()),
            h);
  for (int y = 0; y < h0; ++y)
    for (int x = 0; x < w0; ++x) {
      const int sx = std::min(x, w - 1), sy = std::min(y, h - 1);
      const uint16_t *p = &s16[sy * rowLen + sx * spp];
      // Red sample 0, green (spp - 1) / 2 = 1, blue spp - 1 = 3.
      float y16 = 0.2126f * curve16[p[0]] + 0.7152f * curve16[p[1]] + 0.0722f * curve16[p[3]];
      EXPECT_EQ(out16[y * w0 + x], std::log(std::max(y16, 1.0f))) << x << "," << y;
      const uint8_t *q = &s8[sy * rowLen + sx * spp];
      float y8 = 0.3f * curve8[q[0]] + 0.6f * curve8[q[1]] + 0.1f * curve8[q[3]];
      EXPECT_EQ(out8[y * w0 + x], std::log(std::max(y8, 1.0f))) << x << "," << y;
    }
  EXPECT_EQ(out16[0], 0.0f) << "a black pixel is clamped to luminance 1";
  EXPECT_GT(lum[0], 1.0f);
  EXPECT_EQ(lum8, std::vector<float>(7, -1.0f)) << "8-bit sources leave lumParam alone";
}

TEST(Stage1LogLuminance, EightBitSamplesStayInsideTheirRowsAndTheir256EntryCurve) {
  // Samples and curve end right before an inaccessible page (the last row has no padding):
  // a 16-bit read or an index above 255 kills the test.
  const int w = 11, h = 10, spp = 4, rowLen = 47;
  std::vector<uint8_t> s8(rowLen * (h - 1) + spp * w);
  for (size_t i = 0; i < s8.size(); ++i) s8[i] = static_cast<uint8_t>(i * 29 % 256);
  std::fill(s8.end() - spp, s8.end(), 255);
  std::vector<float> c8(256);
  for (int i = 0; i < 256; ++i) c8[i] = 2.0f + static_cast<float>(i);
  const auto src = tmlib::test::GuardedBuffer::copy_of(s8);
  const auto curve = tmlib::test::GuardedBuffer::copy_of(c8);
  std::vector<float> out(w * h), lum(7);
  ASSERT_EQ(
      calc_tm0(2, spp, w, h, rowLen, w, h, w, h, lum.data(), nullptr, curve.as<float>(), src.as<uint8_t>(), out.data()),
      h);
  EXPECT_EQ(out.back(), std::log(0.3f * c8[255] + 0.6f * c8[255] + 0.1f * c8[255]));
}

TEST(Stage1LogLuminance, RefusesWhatItCannotRead) {
  std::vector<float> out(400), lum(7), table(256, 1.0f), curve(65536, 1.0f);
  std::vector<uint8_t> src(400 * 4);
  EXPECT_EQ(calc_tm0(0, 3, 9, 20, 0, 9, 20, 9, 20, lum.data(), table.data(), nullptr, src.data(), out.data()), -1);
  EXPECT_EQ(calc_tm0(0, 3, 10, 20, 0, 10, 20, 9, 20, lum.data(), table.data(), nullptr, src.data(), out.data()), -1);
  EXPECT_EQ(calc_tm0(1, 3, 10, 10, 29, 10, 10, 10, 10, lum.data(), nullptr, curve.data(), src.data(), out.data()), -1)
      << "row length below spp * width";
  EXPECT_EQ(calc_tm0(5, 3, 10, 10, 0, 10, 10, 10, 10, lum.data(), table.data(), curve.data(), src.data(), out.data()),
            -1);
  EXPECT_EQ(calc_tm0(1, 0, 10, 10, 0, 10, 10, 10, 10, lum.data(), nullptr, curve.data(), src.data(), out.data()), -1);
}

// ---------------------------------------------------------------------------------------
// Gaussian reduction: the odd last row

TEST(Stage1Gaussian, OddLastRowIsClampedNotReadPastTheLevel) {
  for (bool is360 : {false, true}) {
    const int wf = 7, hf = 5;  // odd height: coarse row 2 samples fine row 4, the last
    // Exactly wf * hf floats: a read past the level is caught by the address sanitizer.
    std::vector<float> fine(wf * hf);
    for (int i = 0; i < wf * hf; ++i) fine[i] = static_cast<float>((i * 37) % 11) - 3.0f;
    std::vector<float> coarse(4 * 3);
    tmlib::stage1::gaussian_reduce(fine.data(), wf, hf, coarse.data(), is360);
    auto F = [&](int x, int y) { return fine[y * wf + x]; };
    const int r = 4;
    // Interior column of the last row: the row below is the row itself.
    for (int c : {2, 4}) {
      const float expect = 0.25f * F(c, r) + 0.125f * (F(c - 1, r) + F(c + 1, r) + F(c, r - 1) + F(c, r)) +
                           0.0625f * (F(c - 1, r - 1) + F(c + 1, r - 1) + F(c - 1, r) + F(c + 1, r));
      EXPECT_FLOAT_EQ(coarse[2 * 4 + c / 2], expect) << "column " << c << " is360 " << is360;
    }
    if (!is360) {
      // First column of the last row: border weights, lower neighbours clamped.
      const float expect =
          0.33333f * F(0, r) + 0.166667f * (F(1, r) + F(0, r - 1) + F(0, r)) + (F(1, r - 1) + F(1, r)) / 12.0f;
      EXPECT_FLOAT_EQ(coarse[2 * 4], expect);
    }
  }
}

TEST(Stage1Gaussian, BorderWeightsOfTheFirstRowAndColumns) {
  const int wf = 5, hf = 6;
  std::vector<float> fine(wf * hf);
  for (int i = 0; i < wf * hf; ++i) fine[i] = static_cast<float>(i * i % 17);
  auto F = [&](int x, int y) { return fine[y * wf + x]; };
  std::vector<float> c(3 * 3), w(3 * 3);
  tmlib::stage1::gaussian_reduce(fine.data(), wf, hf, c.data(), false);
  tmlib::stage1::gaussian_reduce(fine.data(), wf, hf, w.data(), true);
  EXPECT_FLOAT_EQ(c[0], 0.5f * F(0, 0) + 0.25f * (F(1, 0) + F(0, 1)));
  EXPECT_FLOAT_EQ(w[0], c[0]) << "the first cell keeps its corner rule in a panorama";
  EXPECT_FLOAT_EQ(c[1], 0.33333f * F(2, 0) + 0.166667f * (F(1, 0) + F(3, 0) + F(2, 1)) + (F(1, 1) + F(3, 1)) / 12.0f);
  EXPECT_FLOAT_EQ(c[2], 0.5f * F(4, 0) + 0.25f * (F(3, 0) + F(4, 1))) << "row 0 in the odd last column";
  EXPECT_FLOAT_EQ(c[5], 0.33333f * F(4, 2) + 0.166667f * (F(3, 2) + F(4, 1) + F(4, 3)) + (F(3, 1) + F(3, 3)) / 12.0f);
  // Panorama: row 0 looks across the pole (first and middle cells), columns wrap.
  EXPECT_FLOAT_EQ(w[1], 0.25f * F(2, 0) + 0.125f * (F(1, 0) + F(3, 0) + F(0, 0) + F(2, 1)) +
                            0.0625f * (F(0, 0) + F(2, 0) + F(1, 1) + F(3, 1)));
  EXPECT_FLOAT_EQ(w[3], 0.25f * F(0, 2) + 0.125f * (F(4, 2) + F(1, 2) + F(0, 1) + F(0, 3)) +
                            0.0625f * (F(4, 1) + F(1, 1) + F(4, 3) + F(1, 3)));
  EXPECT_FLOAT_EQ(w[5], 0.25f * F(4, 2) + 0.125f * (F(3, 2) + F(0, 2) + F(4, 1) + F(4, 3)) +
                            0.0625f * (F(3, 1) + F(0, 1) + F(3, 3) + F(0, 3)));
}

// ---------------------------------------------------------------------------------------
// Attenuation map upsampling

// Straightforward bilinear 2x enlargement by the rules of the map, into a separate buffer.
std::vector<float> upsample_reference(const std::vector<float> &coarse, int wf, int hf, bool is360) {
  const int wc = (wf + 1) / 2, hc = (hf + 1) / 2;
  auto C = [&](int x, int y) { return coarse[y * wc + x]; };
  std::vector<float> out(wf * hf);
  for (int i = 0; i < hf; ++i)
    for (int x = 0; x < wf; ++x) {
      const int r0 = i / 2, c0 = x / 2;
      const bool rowMid = (i % 2 == 1) && r0 + 1 < hc;
      int c1 = -1;
      if (x % 2 == 1) c1 = c0 + 1 < wc ? c0 + 1 : (is360 ? 0 : -1);
      float v;
      if (c1 < 0)
        v = rowMid ? 0.5f * C(c0, r0) + 0.5f * C(c0, r0 + 1) : C(c0, r0);
      else if (!rowMid)
        v = 0.5f * C(c0, r0) + 0.5f * C(c1, r0);
      else
        v = 0.25f * C(c0, r0) + 0.25f * C(c1, r0) + 0.25f * C(c0, r0 + 1) + 0.25f * C(c1, r0 + 1);
      out[i * wf + x] = v;
    }
  return out;
}

TEST(Stage1AttenuationMap, UpsamplingInPlaceAtTheEndOfOneBufferMatchesSeparateBuffers) {
  for (int wf = 3; wf <= 12; ++wf)
    for (int hf = 3; hf <= 11; ++hf)
      for (bool is360 : {false, true}) {
        const int wc = (wf + 1) / 2, hc = (hf + 1) / 2;
        std::vector<float> coarse(wc * hc), fine(wf * hf);
        for (int i = 0; i < wc * hc; ++i) coarse[i] = 1.0f + static_cast<float>(i % 7) * 0.25f;
        for (int i = 0; i < wf * hf; ++i) fine[i] = 0.5f + static_cast<float>(i % 5) * 0.125f;
        const auto up = upsample_reference(coarse, wf, hf, is360);
        // Shared buffer: the fine product fills it, the coarse grid sits at its end.
        std::vector<float> shared(wf * hf);
        std::copy(coarse.begin(), coarse.end(), shared.end() - wc * hc);
        tmlib::stage1::upsample_multiply(shared.data() + (wf * hf - wc * hc), fine.data(), shared.data(), wf, hf,
                                         is360);
        // In place over the fine factors.
        std::vector<float> inPlace = fine;
        tmlib::stage1::upsample_multiply(coarse.data(), inPlace.data(), inPlace.data(), wf, hf, is360);
        for (int i = 0; i < wf * hf; ++i) {
          ASSERT_EQ(shared[i], fine[i] * up[i]) << wf << "x" << hf << " is360 " << is360 << " cell " << i;
          ASSERT_EQ(inPlace[i], fine[i] * up[i]) << wf << "x" << hf << " is360 " << is360 << " cell " << i;
        }
      }
}

}  // namespace
