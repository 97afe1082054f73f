// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "io/rgbe_pixel.h"
#include "support/guarded_buffer.h"
#include "tmlib/rgbe.h"

namespace tmlib {
namespace {

TEST(ExpLut, EntriesArePowersOfTwoAroundTheOffset) {
  float table[256];
  ASSERT_EQ(exp_lut(table, -8), 256);
  EXPECT_EQ(table[136], 1.0f);
  EXPECT_EQ(table[128], 0.00390625f);
  EXPECT_EQ(table[0], std::ldexp(1.0f, -136));  // subnormal, but exact and not zero
  EXPECT_GT(table[0], 0.0f);
  float unscaled[256];
  ASSERT_EQ(exp_lut(unscaled, 0), 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(unscaled[i], 256.0f * table[i]) << i;
}

TEST(ExpLut, AbsurdOffsetsSaturate) {
  float table[256];
  EXPECT_EQ(exp_lut(table, INT_MAX), 256);
  EXPECT_TRUE(std::isinf(table[0]));
  EXPECT_EQ(exp_lut(table, INT_MIN), 256);
  EXPECT_EQ(table[255], 0.0f);
}

TEST(RgbePixel, DecodesAndEncodesTheReferenceValues) {
  EXPECT_EQ(rgbe_decode(128, 129), 1.0f);
  EXPECT_EQ(rgbe_decode(64, 129), 0.5f);
  EXPECT_EQ(rgbe_decode(0, 129), 0.0f);
  float table[256];
  exp_lut(table, -8);
  EXPECT_EQ(128 * table[129], 1.0f);

  const RgbePixel grey = rgbe_encode(1.0f, 1.0f, 1.0f);
  EXPECT_EQ(grey.r, 128);
  EXPECT_EQ(grey.g, 128);
  EXPECT_EQ(grey.b, 128);
  EXPECT_EQ(grey.e, 129);
  const RgbePixel p = rgbe_encode(1.0f, 0.5f, 0.0f);
  EXPECT_EQ(p.r, 128);
  EXPECT_EQ(p.g, 64);
  EXPECT_EQ(p.b, 0);
  EXPECT_EQ(p.e, 129);
  const RgbePixel black = rgbe_encode(0.0f, 0.0f, 0.0f);
  EXPECT_EQ(black.r | black.g | black.b | black.e, 0);
}

// Every pixel the encoder can produce (largest mantissa 128..255, exponent byte 1..255)
// decodes to a colour that encodes back to the same four bytes, at every exponent,
// including the faintest ones whose scale does not fit in a float.
TEST(RgbePixel, DecodedPixelsEncodeBackExactly) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<int> top(128, 255);
  for (int e = 1; e <= 255; ++e) {
    for (int k = 0; k < 200; ++k) {
      std::uint8_t m[3] = {static_cast<std::uint8_t>(any(rng)), static_cast<std::uint8_t>(any(rng)),
                           static_cast<std::uint8_t>(any(rng))};
      m[k % 3] = static_cast<std::uint8_t>(top(rng));
      for (int c = 0; c < 3; ++c) {
        if (c != k % 3 && m[c] > m[k % 3]) m[c] = m[k % 3];
      }
      const auto ee = static_cast<std::uint8_t>(e);
      const RgbePixel p = rgbe_encode(rgbe_decode(m[0], ee), rgbe_decode(m[1], ee), rgbe_decode(m[2], ee));
      ASSERT_EQ(p.r, m[0]) << "e=" << e;
      ASSERT_EQ(p.g, m[1]) << "e=" << e;
      ASSERT_EQ(p.b, m[2]) << "e=" << e;
      ASSERT_EQ(p.e, e);
    }
  }
}

// Encoding truncates: the decoded value never exceeds the original and lies within one
// mantissa step of the largest component.
TEST(RgbePixel, EncodingTruncatesWithinOneStep) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-100, 100);
  for (int k = 0; k < 20000; ++k) {
    const int s = scale(rng);
    const float c[3] = {std::ldexp(unit(rng), s), std::ldexp(unit(rng), s), std::ldexp(unit(rng), s)};
    const RgbePixel p = rgbe_encode(c[0], c[1], c[2]);
    const std::uint8_t m[3] = {p.r, p.g, p.b};
    const float biggest = std::fmax(c[0], std::fmax(c[1], c[2]));
    if (biggest == 0.0f) continue;
    int x = 0;
    std::frexp(biggest, &x);
    ASSERT_EQ(p.e, x + 128);
    ASSERT_GE(std::max(m[0], std::max(m[1], m[2])), 128);
    for (int i = 0; i < 3; ++i) {
      const float back = rgbe_decode(m[i], p.e);
      ASSERT_LE(back, c[i]);
      ASSERT_LT(c[i] - back, std::ldexp(1.0f, x - 8));
    }
  }
}

TEST(RgbePixel, HostileChannelsNeverWrap) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const RgbePixel neg = rgbe_encode(-1.0f, 0.5f, nan);  // negative and NaN are black
  EXPECT_EQ(neg.r, 0);
  EXPECT_EQ(neg.g, 128);
  EXPECT_EQ(neg.b, 0);
  EXPECT_EQ(neg.e, 128);
  const RgbePixel allBad = rgbe_encode(-inf, nan, -0.0f);
  EXPECT_EQ(allBad.r | allBad.g | allBad.b | allBad.e, 0);

  // Too bright for the exponent byte: clamped to the brightest pixel with the ratios kept,
  // never wrapped around to a faint one.
  const RgbePixel bright = rgbe_encode(inf, FLT_MAX / 2, 0.0f);
  EXPECT_EQ(bright.e, 255);
  EXPECT_EQ(bright.r, 255);
  EXPECT_EQ(bright.g, 127);
  EXPECT_EQ(bright.b, 0);
  const RgbePixel edge = rgbe_encode(std::ldexp(1.0f, 127), 0.0f, 0.0f);
  EXPECT_EQ(edge.e, 255);
  EXPECT_EQ(edge.r, 255);

  // Too faint: black rather than an exponent that wraps to a bright one.
  const RgbePixel faint = rgbe_encode(std::ldexp(1.0f, -129), 0.0f, 0.0f);
  EXPECT_EQ(faint.r | faint.g | faint.b | faint.e, 0);
  const RgbePixel faintest = rgbe_encode(std::ldexp(1.0f, -128), std::ldexp(1.0f, -140), 0.0f);
  EXPECT_EQ(faintest.e, 1);
  EXPECT_EQ(faintest.r, 128);
  EXPECT_EQ(faintest.g, 0);
}

TEST(CamCurve, GammaAndLinearTables) {
  std::vector<float> c(256);
  ASSERT_EQ(camcurve(0, 256, c.data()), 256);
  EXPECT_EQ(c[255], 255.0f);
  EXPECT_EQ(c[0], c[1]);
  EXPECT_NEAR(c[1], 0.0012946f, 1e-7f);
  for (int i = 2; i < 256; ++i) ASSERT_GT(c[i], c[i - 1]) << i;

  ASSERT_EQ(camcurve(1, 256, c.data()), 256);
  // i / 255 is formed in single precision, so the identity holds to float rounding only.
  for (int i = 1; i < 256; ++i) ASSERT_NEAR(c[i], static_cast<float>(i), i * 2.4e-7f) << i;
  EXPECT_EQ(c[255], 255.0f);
  EXPECT_EQ(c[0], 1.0f);

  std::vector<float> big(65536);
  ASSERT_EQ(camcurve(0, 65536, big.data()), 65536);
  EXPECT_EQ(big[65535], 65535.0f);
  EXPECT_GT(big[0], 0.0f);
}

TEST(CamCurve, TablesOfOneEntryOrNoneAreLeftAlone) {
  float one[1] = {-7.0f};
  EXPECT_EQ(camcurve(0, 1, one), 1);
  EXPECT_EQ(one[0], -7.0f);
  EXPECT_EQ(camcurve(0, 0, one), 1);
  EXPECT_EQ(camcurve(1, -5, nullptr), 1);
  float two[2];
  EXPECT_EQ(camcurve(0, 2, two), 2);
  EXPECT_EQ(two[0], 1.0f);
  EXPECT_EQ(two[1], 1.0f);
}

struct Planar {
  int width;
  std::vector<unsigned char> bytes;
  RgbePixel at(int x, int y) const {
    const std::size_t row = static_cast<std::size_t>(4 * width * y);
    return {bytes[row + x], bytes[row + width + x], bytes[row + 2 * width + x], bytes[row + 3 * width + x]};
  }
};

void expect_pixel(const RgbePixel &got, const RgbePixel &want, const char *what) {
  EXPECT_EQ(got.r, want.r) << what;
  EXPECT_EQ(got.g, want.g) << what;
  EXPECT_EQ(got.b, want.b) << what;
  EXPECT_EQ(got.e, want.e) << what;
}

RgbePixel grey(float v) { return rgbe_encode(v, v, v); }

class ConvertToRgbe : public ::testing::Test {
 protected:
  void SetUp() override {
    curve.resize(65536);
    camcurve(0, 65536, curve.data());
  }
  float lum(std::uint16_t r, std::uint16_t g, std::uint16_t b) const {
    return 0.3f * curve[r] + 0.6f * curve[g] + 0.1f * curve[b];
  }
  std::vector<float> curve;
};

// Black and white markers take the darkest and brightest measured grey; a pure blue pixel
// is dark by the quick luminance (18) but above the black marker, so it is converted.
TEST_F(ConvertToRgbe, MarkersBecomeTheMeasuredGreys) {
  // 3 x 2 pixels of 3 samples, rows padded to 11 samples with values that would be
  // measured if the stride were ignored.
  const std::int64_t stride = 11;
  std::vector<std::uint16_t> src(stride * 2, 65535);
  const std::uint16_t px[6][3] = {
      {0, 0, 0},         {65535, 65535, 65535}, {0, 0, 65535}, {30000, 20000, 10000}, {40000, 30000, 20000},
      {2000, 1500, 1000}};
  for (int i = 0; i < 6; ++i) {
    for (int c = 0; c < 3; ++c) src[(i / 3) * stride + (i % 3) * 3 + c] = px[i][c];
  }
  src[9] = src[10] = 0;  // padding of row 0
  Planar out{3, std::vector<unsigned char>(4 * 3 * 2, 0xAB)};
  ASSERT_EQ(convert_to_rgbe(16, 3, 2, 3, stride, curve.data(), src.data(), out.bytes.data()), 2);

  const float measured[4] = {lum(0, 0, 65535), lum(30000, 20000, 10000), lum(40000, 30000, 20000),
                             lum(2000, 1500, 1000)};
  float lo = measured[0], hi = measured[0];
  for (float v : measured) {
    lo = std::fmin(lo, v);
    hi = std::fmax(hi, v);
  }
  expect_pixel(out.at(0, 0), grey(lo), "black marker");
  expect_pixel(out.at(1, 0), grey(hi), "saturated marker");
  expect_pixel(out.at(2, 0), rgbe_encode(curve[0], curve[0], curve[65535]), "pure blue");
  expect_pixel(out.at(0, 1), rgbe_encode(curve[30000], curve[20000], curve[10000]), "measured");
  expect_pixel(out.at(2, 1), rgbe_encode(curve[2000], curve[1500], curve[1000]), "dark measured");
}

TEST_F(ConvertToRgbe, ChannelChoiceFollowsTheSampleCount) {
  // Four samples: red 0, green 1, blue 3; sample 2 must be ignored.
  const std::uint16_t four[4] = {30000, 20000, 65535, 10000};
  Planar out{1, std::vector<unsigned char>(4)};
  ASSERT_EQ(convert_to_rgbe(16, 1, 1, 4, 4, curve.data(), four, out.bytes.data()), 1);
  expect_pixel(out.at(0, 0), rgbe_encode(curve[30000], curve[20000], curve[10000]), "spp 4");

  const std::uint16_t one[1] = {30000};
  ASSERT_EQ(convert_to_rgbe(16, 1, 1, 1, 1, curve.data(), one, out.bytes.data()), 1);
  expect_pixel(out.at(0, 0), grey(curve[30000]), "spp 1");
}

// With nothing measured the markers still become ordered, non-zero greys from the curve.
TEST_F(ConvertToRgbe, NoMeasuredPixelLeavesNoZeroPixel) {
  const std::uint16_t src[6] = {0, 0, 0, 65535, 65535, 65535};
  Planar out{2, std::vector<unsigned char>(8)};
  ASSERT_EQ(convert_to_rgbe(16, 2, 1, 3, 6, curve.data(), src, out.bytes.data()), 1);
  expect_pixel(out.at(0, 0), grey(curve[0]), "black");
  expect_pixel(out.at(1, 0), grey(curve[65535]), "white");
  EXPECT_NE(out.at(0, 0).e, 0);
}

// 8-bit samples are read one byte each and looked up in a 256-entry curve: the samples (last
// row without padding) and the curve end right before an inaccessible page, so a 16-bit read
// or an index above 255 kills the test. The result is that of the samples widened by 256
// through the curve spread over 65,536 entries, markers and their fallback greys included.
TEST_F(ConvertToRgbe, EightBitSamplesReadOneByteEachThroughA256EntryCurve) {
  std::vector<float> c8(256), spread(65536);
  camcurve(0, 256, c8.data());
  for (int i = 0; i < 65536; ++i) spread[i] = c8[i >> 8];
  const auto curve8 = test::GuardedBuffer::copy_of(c8);
  const auto convert8 = [&](int w, int h, std::int64_t stride, const std::vector<std::uint8_t> &bytes) {
    const auto src = test::GuardedBuffer::copy_of(bytes);
    Planar out{w, std::vector<unsigned char>(4 * static_cast<std::size_t>(w) * h)};
    EXPECT_EQ(convert_to_rgbe(8, w, h, 3, stride, curve8.as<float>(), src.as<std::uint16_t>(), out.bytes.data()), h);
    return out.bytes;
  };
  const auto convert16 = [&](int w, int h, std::int64_t stride, const std::vector<std::uint8_t> &bytes) {
    std::vector<std::uint16_t> wide(bytes.begin(), bytes.end());
    for (auto &v : wide) v = static_cast<std::uint16_t>(v << 8);
    std::vector<unsigned char> out(4 * static_cast<std::size_t>(w) * h);
    EXPECT_EQ(convert_to_rgbe(16, w, h, 3, stride, spread.data(), wide.data(), out.data()), h);
    return out;
  };

  const int w = 7, h = 5;
  const std::int64_t stride = 3 * w + 2;
  std::mt19937 rng(5);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride * (h - 1) + 3 * w));
  for (auto &v : bytes) v = static_cast<std::uint8_t>(rng() % 256);
  const std::uint8_t marked[3][3] = {{0, 0, 0}, {255, 255, 255}, {0, 0, 255}};
  for (int i = 0; i < 3; ++i) std::copy(marked[i], marked[i] + 3, bytes.begin() + 3 * i);
  EXPECT_EQ(convert8(w, h, stride, bytes), convert16(w, h, stride, bytes));

  // Nothing measured: the markers fall back to the curve's first and last entries.
  const std::vector<std::uint8_t> unmeasured = {0, 0, 0, 255, 255, 255};
  const auto fallback = convert8(2, 1, 6, unmeasured);
  EXPECT_EQ(fallback, convert16(2, 1, 6, unmeasured));
  Planar out{2, fallback};
  expect_pixel(out.at(1, 0), grey(c8[255]), "white");
}

// The bright grey is the brightest measured one whenever a pixel was measured, even when no
// measured luminance moved the running minimum below its start of 1e11 (a curve scaled far
// up); only the dark grey then falls back to the curve.
TEST_F(ConvertToRgbe, TheBrightGreyNeedsOnlyAMeasuredPixel) {
  std::vector<float> huge(65536);
  for (int i = 0; i < 65536; ++i) huge[static_cast<std::size_t>(i)] = 2e11f + 1e7f * static_cast<float>(i);
  const std::uint16_t src[9] = {0, 0, 0, 65535, 65535, 65535, 30000, 20000, 10000};
  Planar out{3, std::vector<unsigned char>(12)};
  ASSERT_EQ(convert_to_rgbe(16, 3, 1, 3, 9, huge.data(), src, out.bytes.data()), 1);
  const float measured = 0.3f * huge[30000] + 0.6f * huge[20000] + 0.1f * huge[10000];
  expect_pixel(out.at(0, 0), grey(huge[0]), "black");
  expect_pixel(out.at(1, 0), grey(measured), "white");
  expect_pixel(out.at(2, 0), rgbe_encode(huge[30000], huge[20000], huge[10000]), "measured");
}

TEST_F(ConvertToRgbe, RefusesImpossibleGeometry) {
  std::uint16_t s[3] = {};
  unsigned char o[4];
  EXPECT_LT(convert_to_rgbe(16, 1, 1, 0, 3, curve.data(), s, o), 0);
  EXPECT_LT(convert_to_rgbe(16, -1, 1, 3, 3, curve.data(), s, o), 0);
  EXPECT_EQ(convert_to_rgbe(16, 0, 5, 3, 3, curve.data(), s, o), 5);  // nothing to convert
}

}  // namespace
}  // namespace tmlib
