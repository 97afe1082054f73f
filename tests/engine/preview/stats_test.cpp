// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/rgbe_planar.h"

#include "io/rgbe_pixel.h"
#include "tmlib/preview.h"
#include "tmlib/rgbe.h"

namespace {

// The exponent table: entry i = 2^(i + offset - 128).
std::array<float, 256> exponent_table(int offset) {
  std::array<float, 256> t;
  for (int i = 0; i < 256; ++i) t[i] = std::ldexp(1.0f, i + offset - 128);
  return t;
}

// A scanline-planar RGBE image filled pixel by pixel.
struct RgbeImage {
  int w, h;
  std::vector<uint8_t> bytes;
  RgbeImage(int width, int height) : w(width), h(height), bytes(static_cast<size_t>(4 * width * height), 0) {}
  void set(int64_t index, tmlib::RgbePixel p) {
    const int64_t x = index % w, y = index / w;
    tmlib::test::store_planar(&bytes[static_cast<size_t>(4 * w * y)], w, x, p);
  }
};

// Grey of value 2^k: mantissa 128, exponent 129 + k (decoded with the offset -8 table).
tmlib::RgbePixel grey_pow2(int k) { return {128, 128, 128, static_cast<uint8_t>(129 + k)}; }

std::array<float, 7> statistics(const RgbeImage &img, int offset = -8, int expected = -100) {
  const auto table = exponent_table(offset);
  std::array<float, 7> s;
  s.fill(-99.0f);
  const int r = logMinMaxMoy(img.w, img.h, table.data(), img.bytes.data(), s.data());
  EXPECT_EQ(r, expected == -100 ? img.h : expected);
  return s;
}

TEST(LogHisto, BinsAreTruncatedClampedAndAdded) {
  std::vector<int32_t> h(10, 0);
  h[3] = 5;
  const float samples[] = {0.0f, 1.0f, -3.0f, 0.5f, 0.99f, std::nanf("")};
  ASSERT_EQ(log_histo(6, 10, 0.0f, 1.0f, samples, h.data()), 6);
  // scale 9: 0 -> 0, 1 -> 9 (the maximum is the last bin), -3 -> 0, 0.5 -> 4, 0.99 -> 8.
  const std::vector<int32_t> expected{3, 0, 0, 5, 1, 0, 0, 0, 1, 1};
  EXPECT_EQ(h, expected);
}

TEST(LogHisto, RefusesAnEmptyRange) {
  std::vector<int32_t> h(4, 0);
  const float samples[] = {1.0f};
  EXPECT_EQ(log_histo(1, 4, 1.0f, 1.0f, samples, h.data()), -1);
  EXPECT_EQ(log_histo(1, 4, 2.0f, 1.0f, samples, h.data()), -1);
  EXPECT_EQ(log_histo(1, 4, std::nanf(""), 1.0f, samples, h.data()), -1);
  EXPECT_EQ(log_histo(1, 0, 0.0f, 1.0f, samples, h.data()), -1);
  EXPECT_EQ(h, std::vector<int32_t>(4, 0));
}

TEST(Percentile, FirstBinWhoseTotalExceedsTheThreshold) {
  const int32_t h[4] = {5, 5, 0, 0};
  EXPECT_EQ(percentile(0.5f, 10, 4, h), 1);  // threshold 5 is not exceeded by bin 0 alone
  EXPECT_EQ(percentile(0.49f, 10, 4, h), 0);
  EXPECT_EQ(percentile(0.0f, 10, 4, h), 0);
  EXPECT_EQ(percentile(1.0f, 10, 4, h), 4);  // never exceeded: the bin count
  EXPECT_EQ(percentile(std::nanf(""), 10, 4, h), 0);
  // A negative fraction gives a negative threshold, which the empty first bin already
  // exceeds; clamping it to 0 would skip that bin.
  const int32_t lead[4] = {0, 5, 5, 0};
  EXPECT_EQ(percentile(-1.0f, 10, 4, lead), 0);
  EXPECT_EQ(percentile(-1e30f, 10, 4, lead), 0);
  EXPECT_EQ(percentile(0.0f, 10, 4, lead), 1);
}

TEST(AdjustPercentile, MovesTheFractionIntoTheMiddleOfTheHistogram) {
  // 100 bins, one count each: the bin of p is about 100 p. Middle = bins 25 .. 90.
  std::vector<int32_t> h(100, 1);
  GlobalCntAdjust = 0;
  EXPECT_EQ(adjust_percentile(0.5f, 100, 100, h.data()), 0.5f);
  EXPECT_EQ(GlobalCntAdjust, 1);  // the in-range check counts too

  GlobalCntAdjust = 0;
  const float high = adjust_percentile(0.995f, 100, 100, h.data());
  EXPECT_LE(percentile(high, 100, 100, h.data()), 90);
  float expected = 0.995f;
  while (percentile(expected, 100, 100, h.data()) > 90) expected = expected * 0.99f;
  EXPECT_EQ(high, expected);

  GlobalCntAdjust = 0;
  const float low = adjust_percentile(0.2f, 100, 100, h.data());
  EXPECT_GE(percentile(low, 100, 100, h.data()), 25);
  EXPECT_LT(percentile(low / 1.01f, 100, 100, h.data()), 25);  // the first fraction inside
  EXPECT_GT(low, 0.2f);
}

TEST(AdjustPercentile, CounterBoundsTheSearch) {
  // Everything in bin 0: no fraction reaches the middle, so the search runs out.
  std::vector<int32_t> h(100, 0);
  h[0] = 100;
  GlobalCntAdjust = 0;
  float expected = 0.5f;
  for (int i = 0; i < 40; ++i) expected = expected * 1.01f;
  EXPECT_EQ(adjust_percentile(0.5f, 100, 100, h.data()), expected);
  EXPECT_EQ(GlobalCntAdjust, 40);
  // A counter already past the limit moves nothing.
  EXPECT_EQ(adjust_percentile(0.5f, 100, 100, h.data()), 0.5f);
  EXPECT_EQ(GlobalCntAdjust, 40);
}

TEST(AdjustPercentile, CounterIsPerThread) {
  std::vector<int32_t> h(100, 0);
  h[0] = 100;
  GlobalCntAdjust = 40;  // this thread's search is exhausted ...
  float other = 0.0f;
  int otherCount = -1;
  std::thread t([&] {  // ... another thread's is not
    other = adjust_percentile(0.5f, 100, 100, h.data());
    otherCount = GlobalCntAdjust;
  });
  t.join();
  EXPECT_GT(other, 0.5f);
  EXPECT_EQ(otherCount, 40);
  EXPECT_EQ(GlobalCntAdjust, 40);
  EXPECT_EQ(adjust_percentile(0.5f, 100, 100, h.data()), 0.5f);
}

TEST(LogMinMaxMoy, TwoLevelImage) {
  // 10 x 10, half of the pixels 2^-3, half 2^5: spacing 1, every pixel is a sample.
  RgbeImage img(10, 10);
  for (int i = 0; i < 100; ++i) img.set(i, grey_pow2(i < 50 ? -3 : 5));
  const auto s = statistics(img);
  const float lo = -3 * std::log(2.0f), hi = 5 * std::log(2.0f);
  EXPECT_FLOAT_EQ(s[0], lo);
  EXPECT_FLOAT_EQ(s[1], hi);
  EXPECT_NEAR(s[2], (lo + hi) / 2, 1e-5);
  // 50 of 100 in the first bin do not exceed the threshold 50: the median is the bright
  // level's bin (the last, or the one before when the single-precision scale times the
  // range rounds just below 65535), read back with the divisor 65536.
  const float binWidth = (hi - lo) / 65536.0f;
  EXPECT_GE(s[3], hi - 2.01f * binWidth);
  EXPECT_LE(s[3], hi - 0.99f * binWidth);
  EXPECT_EQ(s[4], s[3]);
  EXPECT_EQ(s[5], -99.0f);  // slots 5 and 6 are not written
  EXPECT_EQ(s[6], -99.0f);

  // With the offset 0 table every log is larger by ln 256.
  const auto s0 = statistics(img, 0);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(s0[i] - s[i], std::log(256.0f), 1e-5) << "slot " << i;
  for (int i = 3; i < 5; ++i) EXPECT_NEAR(s0[i] - s[i], std::log(256.0f), 2.01f * binWidth) << "slot " << i;
}

TEST(LogMinMaxMoy, SamplesEverySpacingthPixelByRunningIndex) {
  // Pixels whose running index is a multiple of the spacing are dark, all others bright.
  // When exactly those are sampled the 99.5th percentile is the dark level although most
  // of the image is bright; a spacing off by one would mix bright samples in.
  struct Case {
    int w, h, spacing;
  };
  for (const Case c : {Case{400, 100, 2}, Case{1000, 1000, 26}, Case{1001, 41, 2}}) {
    RgbeImage img(c.w, c.h);
    for (int64_t i = 0; i < int64_t{c.w} * c.h; ++i) img.set(i, grey_pow2(i % c.spacing == 0 ? -4 : 6));
    const auto s = statistics(img);
    EXPECT_FLOAT_EQ(s[0], -4 * std::log(2.0f)) << c.w << "x" << c.h;
    EXPECT_FLOAT_EQ(s[1], 6 * std::log(2.0f));
    EXPECT_FLOAT_EQ(s[3], s[0]);
    EXPECT_FLOAT_EQ(s[4], s[0]);
    EXPECT_GT(s[2], 0.0f);  // the mean sees every pixel
  }
  // 100 x 100: spacing 1, the bright pixels are sampled too.
  RgbeImage img(100, 100);
  for (int i = 0; i < 10000; ++i) img.set(i, grey_pow2(i % 2 == 0 ? -4 : 6));
  const auto s = statistics(img);
  EXPECT_GT(s[4], 6 * std::log(2.0f) - 0.01f);
}

TEST(LogMinMaxMoy, DarkBlackAndUniformImages) {
  // Everything below luminance 1: the maximum stays at its start, 0.
  RgbeImage dark(8, 8);
  for (int i = 0; i < 64; ++i) dark.set(i, grey_pow2(-(i % 5) - 1));
  const auto sd = statistics(dark);
  EXPECT_EQ(sd[1], 0.0f);
  EXPECT_FLOAT_EQ(sd[0], -5 * std::log(2.0f));
  EXPECT_LT(sd[2], 0.0f);

  // Only black pixels (exponent 0, or zero mantissas): nothing is counted.
  RgbeImage black(8, 8);
  black.set(5, {0, 0, 0, 140});
  black.set(6, {200, 200, 200, 0});
  const auto sb = statistics(black);
  EXPECT_EQ(sb[0], 1e11f);
  EXPECT_EQ(sb[1], 0.0f);
  EXPECT_EQ(sb[2], 0.0f);
  EXPECT_EQ(sb[3], 0.0f);  // presets: the mean ...
  EXPECT_EQ(sb[4], 0.0f);  // ... and the maximum

  // All pixels equal: log_histo refuses, slots 3 and 4 keep the presets.
  RgbeImage flat(8, 8);
  for (int i = 0; i < 64; ++i) flat.set(i, grey_pow2(3));
  const auto sf = statistics(flat);
  EXPECT_FLOAT_EQ(sf[0], 3 * std::log(2.0f));
  EXPECT_EQ(sf[3], sf[2]);
  EXPECT_EQ(sf[4], sf[1]);

  // A grey of exactly 1.0 has log luminance 0.
  RgbeImage one(6, 6);
  for (int i = 0; i < 36; ++i) one.set(i, grey_pow2(0));
  EXPECT_EQ(statistics(one)[2], 0.0f);
}

TEST(LogMinMaxMoy, RejectsUnusableArguments) {
  const auto table = exponent_table(-8);
  std::vector<uint8_t> px(4 * 16, 0);
  std::array<float, 7> s;
  s.fill(-99.0f);
  EXPECT_EQ(logMinMaxMoy(-4, 4, table.data(), px.data(), s.data()), -1);
  EXPECT_EQ(logMinMaxMoy(4, 4, nullptr, px.data(), s.data()), -1);
  EXPECT_EQ(logMinMaxMoy(4, 4, table.data(), nullptr, s.data()), -1);
  EXPECT_EQ(s[0], -99.0f);
}

TEST(PreviewHistogram, LevelsAndChannelChoice) {
  int32_t h[256];
  const uint8_t rgb[] = {255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 255, 0};
  ASSERT_EQ(histo4preview(2, 2, 3, rgb, h), 4);
  EXPECT_EQ(h[255], 1);  // white
  EXPECT_EQ(h[53], 1);   // pure red
  EXPECT_EQ(h[0], 1);
  EXPECT_EQ(h[182], 1);  // pure green
  EXPECT_EQ(getHistoMax(h), 1);

  // spp 4: blue is sample 3, sample 2 is not read.
  const uint8_t rgba[] = {0, 0, 255, 255, 0, 0, 255, 255};
  ASSERT_EQ(histo4preview(2, 1, 4, rgba, h), 2);
  EXPECT_EQ(h[18], 2);
  EXPECT_EQ(getHistoMax(h), 2);

  // spp 1: the level is the byte itself; the counters are cleared first.
  const uint8_t grey[] = {7, 7, 7, 200, 7};
  ASSERT_EQ(histo4preview(5, 1, 1, grey, h), 5);
  EXPECT_EQ(h[7], 4);
  EXPECT_EQ(h[200], 1);
  EXPECT_EQ(h[18], 0);
  EXPECT_EQ(getHistoMax(h), 4);

  EXPECT_EQ(histo4preview(2, 2, 0, grey, h), -1);
  EXPECT_EQ(getHistoMax(h), 1);  // cleared, all zero
}

// End to end on a synthetic float picture: a horizontal ramp of log luminance from ln 2^-6
// to ln 2^10 (a 16-stop scene), cut to a preview as the dialog does. The statistics are
// compared with the exact log luminances of the pixels the preview took, sorted.
TEST(PreviewStatistics, RampPreviewReportsItsRange) {
  const int sw = 1200, sh = 300, dw = 400, dh = 100;
  auto level = [&](int x) { return std::exp2(-6.0 + 16.0 * x / (sw - 1)); };
  std::vector<float> src(static_cast<size_t>(sw) * sh * 3);
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x) {
      const auto l = static_cast<float>(level(x));
      float *p = &src[(static_cast<size_t>(y) * sw + x) * 3];
      p[0] = l * 0.9f;
      p[1] = l;
      p[2] = l * 1.2f;
    }
  std::vector<uint8_t> preview(4 * dw * dh);
  ASSERT_EQ(extract_rgbe_preview(10, sw, sh, 3, sw * 3, dw, dh, src.data(), preview.data()), dh);
  const auto table = exponent_table(-8);
  std::array<float, 7> s;
  ASSERT_EQ(logMinMaxMoy(dw, dh, table.data(), preview.data(), s.data()), dh);

  // Reference: preview column c is source column 3c; 40,000 pixels give a spacing of 2,
  // so the samples are the even running indices, that is the even columns.
  const double weight = 0.2125 * 0.9 + 0.7154 + 0.0721 * 1.2;
  std::vector<double> all, sampled;
  for (int y = 0; y < dh; ++y)
    for (int c = 0; c < dw; ++c) {
      const double l = std::log(level(3 * c) * weight);
      all.push_back(l);
      if (c % 2 == 0) sampled.push_back(l);
    }
  std::sort(sampled.begin(), sampled.end());
  double mean = 0;
  for (double l : all) mean += l;
  mean /= static_cast<double>(all.size());
  // RGBE keeps 8 bits of mantissa: each luminance is within about 1.5 % (0.015 in log).
  const double tol = 0.02;
  EXPECT_NEAR(s[0], *std::min_element(all.begin(), all.end()), tol);
  EXPECT_NEAR(s[1], *std::max_element(all.begin(), all.end()), tol);
  EXPECT_NEAR(s[2], mean, tol);
  EXPECT_NEAR(s[3], sampled[sampled.size() / 2], tol);
  EXPECT_NEAR(s[4], sampled[static_cast<size_t>(sampled.size() * 0.995)], tol);
}

// A real picture: the preview the dialog would cut from a Radiance file (preview size type 0
// gives 600 x 300 of a 1024 x 512 picture; the forest is a 1024 x 128 band, cut to 600 x 75)
// must report statistics close to those of the whole picture, in the right order, with a
// highlight range a sunset or a forest plausibly has.
TEST(PreviewStatistics, RealRadiancePicturesKeepTheirStatisticsWhenReduced) {
  for (const char *name : {"sunset-pfstools.hdr", "forest-luminancehdr.hdr"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/" + name;
    int32_t dims[TMLIB_RADIANCE_DIMS] = {};
    float primaries[8];
    ASSERT_GE(rgbe_dim2(path.c_str(), primaries, dims), 0) << "cannot read " << path;
    const int w = dims[0], h = dims[1];
    ASSERT_EQ(w, 1024);
    ASSERT_GE(h, 128);
    std::vector<uint8_t> full(static_cast<size_t>(4 * w * h));
    ASSERT_EQ(decomp_rle(path.c_str(), dims, full.data()), h);

    const int pw = 600, ph = h * pw / w;
    std::vector<uint8_t> preview(static_cast<size_t>(4 * pw * ph));
    ASSERT_EQ(extract_rgbe_preview(0, w, h, 3, 3 * w, pw, ph, full.data(), preview.data()), ph);

    float table[256];
    ASSERT_EQ(exp_lut(table, -8), 256);
    std::array<float, 7> sf, sp;
    ASSERT_EQ(logMinMaxMoy(w, h, table, full.data(), sf.data()), h);
    ASSERT_EQ(logMinMaxMoy(pw, ph, table, preview.data(), sp.data()), ph);

    for (const auto &s : {sf, sp}) {
      EXPECT_LT(s[0], s[3]);
      EXPECT_LE(s[3], s[4]);
      EXPECT_LE(s[4], s[1]);
      EXPECT_LT(s[0], s[2]);
      EXPECT_LT(s[2], s[1]);
      EXPECT_GT(s[4] - s[3], 1.0f);   // an HDR picture: the highlights are well above the median
      EXPECT_LT(s[1] - s[0], 40.0f);  // ... within the range RGBE pixels of a photograph hold
    }
    // A point-sampled preview sees the same scene: its central statistics barely move, and
    // its extremes stay inside those of the whole picture.
    EXPECT_NEAR(sp[2], sf[2], 0.05);
    EXPECT_NEAR(sp[3], sf[3], 0.1);
    EXPECT_NEAR(sp[4], sf[4], 0.2);
    EXPECT_GE(sp[0], sf[0]);
    EXPECT_LE(sp[1], sf[1]);
  }
}

}  // namespace
