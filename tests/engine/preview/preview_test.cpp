// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "io/rgbe_pixel.h"
#include "support/guarded_buffer.h"
#include "tmlib/preview.h"

namespace {

constexpr int kRgbe = 0, k16 = 1, k8 = 2, kFloat = 10;

// A 16-bit source whose chosen channels name their pixel: red = column, green = row,
// blue = column + row; every other sample holds 0xDEAD. Rows are `stride` samples apart.
std::vector<uint16_t> coordinate_source(int w, int h, int spp, int64_t stride) {
  std::vector<uint16_t> src(static_cast<size_t>(stride * h), 0xDEAD);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint16_t *p = &src[static_cast<size_t>(y * stride + x * spp)];
      p[0] = static_cast<uint16_t>(x);
      p[(spp - 1) / 2] = static_cast<uint16_t>(y);
      p[spp - 1] = static_cast<uint16_t>(x + y);
    }
  return src;
}

struct Pixel16 {
  int r, g, b;
};
Pixel16 pixel16(const std::vector<uint16_t> &buf, int w, int spp, int x, int y) {
  const uint16_t *p = &buf[static_cast<size_t>((y * w + x) * spp)];
  return {p[0], p[(spp - 1) / 2], p[spp - 1]};
}

// A scanline-planar RGBE source whose four planes name their pixel: r = x, g = y,
// b = (x + y) & 255, e = 7 (all taken mod 256).
std::vector<uint8_t> coordinate_rgbe(int w, int h) {
  std::vector<uint8_t> src(static_cast<size_t>(4 * w * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t *row = &src[static_cast<size_t>(4 * w * y)];
      row[x] = static_cast<uint8_t>(x);
      row[w + x] = static_cast<uint8_t>(y);
      row[2 * w + x] = static_cast<uint8_t>(x + y);
      row[3 * w + x] = 7;
    }
  return src;
}

TEST(ExtractPreview, QuarterSizeTakesEveryFourthPixelWithoutAveraging) {
  // spp 4 with a padded stride: channels 0, 1, 3 are copied, sample 2 is left alone.
  const int sw = 1000, sh = 800, spp = 4;
  const int64_t stride = sw * spp + 9;
  const auto src = coordinate_source(sw, sh, spp, stride);
  std::vector<uint16_t> dst(250 * 200 * spp, 0x1111);
  ASSERT_EQ(extract_rgbe_preview(k16, sw, sh, spp, stride, 250, 200, src.data(), dst.data()), 200);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 250; ++x) {
      const Pixel16 p = pixel16(dst, 250, spp, x, y);
      ASSERT_EQ(p.r, 4 * x);
      ASSERT_EQ(p.g, 4 * y);
      ASSERT_EQ(p.b, 4 * x + 4 * y);
      ASSERT_EQ(dst[static_cast<size_t>((y * 250 + x) * spp + 2)], 0x1111);
    }
}

TEST(ExtractPreview, NonIntegerRatioTruncatesAndStaysInside) {
  const int sw = 1001, sh = 7, spp = 3;
  const auto src = coordinate_source(sw, sh, spp, sw * spp);
  std::vector<uint16_t> dst(250 * 5 * spp);
  ASSERT_EQ(extract_rgbe_preview(k16, sw, sh, spp, sw * spp, 250, 5, src.data(), dst.data()), 5);
  // ratioX = 4.004: column 249 takes source column 996, column 125 takes 500 (500.5).
  EXPECT_EQ(pixel16(dst, 250, spp, 249, 0).r, 996);
  EXPECT_EQ(pixel16(dst, 250, spp, 125, 0).r, 500);
  EXPECT_EQ(pixel16(dst, 250, spp, 1, 0).r, 4);
  // ratioY = 1.4: rows 0, 1, 2, 4, 5.
  const int rows[5] = {0, 1, 2, 4, 5};
  for (int y = 0; y < 5; ++y) EXPECT_EQ(pixel16(dst, 250, spp, 0, y).g, rows[y]);
}

TEST(ExtractPreview, SmallSourceIsEnlargedByRepetition) {
  const auto src = coordinate_rgbe(5, 5);
  std::vector<uint8_t> dst(4 * 10 * 10);
  ASSERT_EQ(extract_rgbe_preview(kRgbe, 5, 5, 3, 0, 10, 10, src.data(), dst.data()), 10);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      const uint8_t *row = &dst[static_cast<size_t>(40 * y)];
      ASSERT_EQ(row[x], x / 2);
      ASSERT_EQ(row[10 + x], y / 2);
      ASSERT_EQ(row[20 + x], x / 2 + y / 2);
      ASSERT_EQ(row[30 + x], 7);
    }
}

TEST(ExtractPreview, RgbePlanesFollowTheirPixel) {
  const int sw = 300, sh = 200, dw = 100, dh = 50;
  const auto src = coordinate_rgbe(sw, sh);
  std::vector<uint8_t> dst(4 * dw * dh);
  ASSERT_EQ(extract_rgbe_preview(kRgbe, sw, sh, 3, sw * 3, dw, dh, src.data(), dst.data()), dh);
  for (int y = 0; y < dh; ++y)
    for (int x = 0; x < dw; ++x) {
      const uint8_t *row = &dst[static_cast<size_t>(4 * dw * y)];
      ASSERT_EQ(row[x], static_cast<uint8_t>(3 * x));
      ASSERT_EQ(row[dw + x], static_cast<uint8_t>(4 * y));
      ASSERT_EQ(row[2 * dw + x], static_cast<uint8_t>(3 * x + 4 * y));
    }
}

TEST(ExtractPreview, EightBitSamplesAreWidened) {
  // spp 1: the three chosen channels are all sample 0.
  std::vector<uint8_t> src(6 * 6, 200);
  src[6 * 5 + 5] = 255;
  std::vector<uint16_t> dst(6 * 6, 0);
  ASSERT_EQ(extract_rgbe_preview(k8, 6, 6, 1, 6, 6, 6, src.data(), dst.data()), 6);
  EXPECT_EQ(dst[0], 51200);
  EXPECT_EQ(dst[35], 65280);
}

TEST(ExtractPreview, TooSmallOrMalformedRequestsWriteNothing) {
  const auto src = coordinate_source(8, 8, 3, 24);
  std::vector<uint16_t> dst(8 * 8 * 3, 0x5555);
  const auto untouched = dst;
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 3, 24, 5, 5, src.data(), dst.data()), 5);
  dst = untouched;
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 3, 24, 4, 4, src.data(), dst.data()), -1);
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 4, 3, 24, 5, 5, src.data(), dst.data()), -1);
  EXPECT_EQ(extract_rgbe_preview(k16, 4, 8, 3, 24, 5, 5, src.data(), dst.data()), -1);
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 3, 24, 5, 0, src.data(), dst.data()), -1);
  EXPECT_EQ(extract_rgbe_preview(3, 8, 8, 3, 24, 5, 5, src.data(), dst.data()), -1);    // unknown kind
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 3, 23, 5, 5, src.data(), dst.data()), -1);  // rows overlap
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 0, 24, 5, 5, src.data(), dst.data()), -1);
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 3, INT64_MAX / 4, 5, 5, src.data(), dst.data()), -1);
  EXPECT_EQ(extract_rgbe_preview(k16, 8, 8, 3, 24, 5, 5, nullptr, dst.data()), -1);
  EXPECT_EQ(dst, untouched);
}

TEST(ExtractPreview, FloatPixelsBecomeCleanRgbe) {
  // 5 x 5 float source, spp 3, copied at scale 1; the row-stride argument is ignored.
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> src(5 * 5 * 3, 0.0f);
  auto set = [&](int i, float r, float g, float b) {
    src[3 * i] = r;
    src[3 * i + 1] = g;
    src[3 * i + 2] = b;
  };
  set(0, 1.0f, 1.0f, 1.0f);
  set(1, 1e-33f, 1e-33f, 1e-33f);  // below the black threshold
  set(2, 1.0f, 0.5f, 0.0f);
  set(3, -2.0f, 0.5f, nan);  // negative and NaN channels count as 0
  set(4, inf, 1.0f, 0.0f);
  set(5, -1.0f, -1.0f, -1.0f);
  set(6, 3e-32f, 0.0f, 0.0f);  // just above the black threshold
  std::vector<uint8_t> dst(4 * 5 * 5, 0xAB);
  ASSERT_EQ(extract_rgbe_preview(kFloat, 5, 5, 3, 1, 5, 5, src.data(), dst.data()), 5);
  auto px = [&](int i) {
    const int x = i % 5, y = i / 5;
    const uint8_t *row = &dst[static_cast<size_t>(20 * y)];
    return tmlib::RgbePixel{row[x], row[5 + x], row[10 + x], row[15 + x]};
  };
  auto same = [](tmlib::RgbePixel a, tmlib::RgbePixel b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.e == b.e;
  };
  EXPECT_TRUE(same(px(0), (tmlib::RgbePixel{128, 128, 128, 129})));
  EXPECT_TRUE(same(px(1), (tmlib::RgbePixel{0, 0, 0, 0})));
  EXPECT_TRUE(same(px(2), (tmlib::RgbePixel{128, 64, 0, 129})));
  EXPECT_TRUE(same(px(3), (tmlib::RgbePixel{0, 128, 0, 128})));
  const tmlib::RgbePixel bright = px(4);
  EXPECT_EQ(bright.r, 255);
  EXPECT_EQ(bright.e, 255);
  EXPECT_TRUE(same(px(5), (tmlib::RgbePixel{0, 0, 0, 0})));
  EXPECT_GT(px(6).e, 0);
  EXPECT_GT(px(6).r, 0);
}

// Every float pixel of a preview must be exactly the shared encoder's pixel (or black at
// 1e-32 and below), whatever path the extraction takes for it: sweep magnitudes from far
// below the black threshold to beyond the exponent byte, with mixed channels, signs,
// NaN and infinities.
TEST(ExtractPreview, FloatPixelsMatchTheSharedEncoderBitForBit) {
  const int w = 256, h = 64;
  std::vector<float> src(static_cast<size_t>(w) * h * 3);
  uint32_t state = 7;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  const float specials[] = {
      0.0f,   -0.0f,  -1.0f,          std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
      1e-33f, 1e-32f, 1.0000001e-32f, std::numeric_limits<float>::max(),      std::numeric_limits<float>::denorm_min()};
  for (size_t i = 0; i < src.size(); ++i) {
    const uint32_t r = next();
    if (r % 17 == 0) {
      src[i] = specials[(r >> 8) % 10];
    } else {
      // Exponents 2^-120 .. 2^135 around a per-pixel base, so channels of one pixel differ
      // by up to 2^15 and some pixels pass the largest encodable exponent.
      const int base = static_cast<int>((i / 3) % 256) - 120;
      const float mant = 0.5f + static_cast<float>(r >> 9) / 16777216.0f;
      src[i] = std::ldexp(mant, base - static_cast<int>((r >> 4) % 16));
    }
  }
  std::vector<uint8_t> dst(4 * w * h);
  ASSERT_EQ(extract_rgbe_preview(kFloat, w, h, 3, 0, w, h, src.data(), dst.data()), h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float *p = &src[(static_cast<size_t>(y) * w + x) * 3];
      const float m =
          std::max({tmlib::rgbe_clean_channel(p[0]), tmlib::rgbe_clean_channel(p[1]), tmlib::rgbe_clean_channel(p[2])});
      tmlib::RgbePixel want{0, 0, 0, 0};
      if (m > 1e-32) want = tmlib::rgbe_encode(p[0], p[1], p[2]);
      const uint8_t *row = &dst[static_cast<size_t>(4 * w * y)];
      ASSERT_EQ(row[x], want.r) << x << "," << y << " " << p[0] << " " << p[1] << " " << p[2];
      ASSERT_EQ(row[w + x], want.g) << x << "," << y;
      ASSERT_EQ(row[2 * w + x], want.b) << x << "," << y;
      ASSERT_EQ(row[3 * w + x], want.e) << x << "," << y;
    }
}

TEST(ExtractPreview, FloatChannelChoiceWithFourSamples) {
  // spp 4: red sample 0, green sample 1, blue sample 3; sample 2 is never read.
  std::vector<float> src(6 * 6 * 4);
  for (int i = 0; i < 36; ++i) {
    src[4 * i] = 0.5f;
    src[4 * i + 1] = 0.25f;
    src[4 * i + 2] = 1e30f;
    src[4 * i + 3] = 1.0f;
  }
  std::vector<uint8_t> dst(4 * 6 * 6);
  ASSERT_EQ(extract_rgbe_preview(kFloat, 6, 6, 4, 0, 6, 6, src.data(), dst.data()), 6);
  const uint8_t *row = &dst[4 * 6 * 3];
  EXPECT_EQ(row[2], 64);
  EXPECT_EQ(row[6 + 2], 32);
  EXPECT_EQ(row[12 + 2], 128);
  EXPECT_EQ(row[18 + 2], 129);
}

TEST(ExtractZoom, CopiesTheWindowAtFullResolution) {
  const int sw = 40, sh = 30, spp = 3;
  const int64_t stride = sw * spp + 2;
  const auto src16 = coordinate_source(sw, sh, spp, stride);
  std::vector<uint8_t> src8(static_cast<size_t>(stride * sh));
  for (size_t i = 0; i < src8.size(); ++i) src8[i] = static_cast<uint8_t>(src16[i]);
  const auto rgbe = coordinate_rgbe(sw, sh);
  const int ww = 10, wh = 6, x0 = 30, y0 = 24;  // touches the right and bottom edges

  std::vector<uint16_t> d16(ww * wh * spp), d8(ww * wh * spp);
  std::vector<uint8_t> drgbe(4 * ww * wh);
  ASSERT_EQ(extract_zoom(k16, sw, sh, spp, stride, ww, wh, x0, y0, nullptr, src16.data(), nullptr, d16.data()), wh);
  ASSERT_EQ(extract_zoom(k8, sw, sh, spp, stride, ww, wh, x0, y0, nullptr, nullptr, src8.data(), d8.data()), wh);
  ASSERT_EQ(extract_zoom(kRgbe, sw, sh, spp, stride, ww, wh, x0, y0, rgbe.data(), nullptr, nullptr, drgbe.data()), wh);
  for (int y = 0; y < wh; ++y)
    for (int x = 0; x < ww; ++x) {
      const Pixel16 a = pixel16(d16, ww, spp, x, y), b = pixel16(d8, ww, spp, x, y);
      ASSERT_EQ(a.r, x0 + x);
      ASSERT_EQ(a.g, y0 + y);
      ASSERT_EQ(b.r, (x0 + x) * 256);
      ASSERT_EQ(b.b, (x0 + x + y0 + y) * 256);
      const uint8_t *row = &drgbe[static_cast<size_t>(4 * ww * y)];
      ASSERT_EQ(row[x], x0 + x);
      ASSERT_EQ(row[ww + x], y0 + y);
    }
}

TEST(ExtractZoom, EightBitSourcesAreReadOneByteASampleUpToTheirLastByte) {
  // The source ends right before an inaccessible page, its last row without padding: reading
  // two bytes per sample, or the padding of the last row, kills the test. The bottom-right
  // pixel is taken by the full-size preview and by a window in that corner.
  const int sw = 9, sh = 7, spp = 4;
  const int64_t stride = sw * spp + 3;
  std::vector<uint8_t> bytes(static_cast<size_t>(stride * (sh - 1) + sw * spp));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  const auto src = tmlib::test::GuardedBuffer::copy_of(bytes);
  const uint8_t *last = &bytes[bytes.size() - spp];
  std::vector<uint16_t> preview(sw * sh * spp), window(5 * 5 * spp);
  ASSERT_EQ(extract_rgbe_preview(k8, sw, sh, spp, stride, sw, sh, src.as<uint8_t>(), preview.data()), sh);
  ASSERT_EQ(
      extract_zoom(k8, sw, sh, spp, stride, 5, 5, sw - 5, sh - 5, nullptr, nullptr, src.as<uint8_t>(), window.data()),
      5);
  for (const Pixel16 p : {pixel16(preview, sw, spp, sw - 1, sh - 1), pixel16(window, 5, spp, 4, 4)}) {
    EXPECT_EQ(p.r, last[0] * 256);
    EXPECT_EQ(p.g, last[1] * 256);
    EXPECT_EQ(p.b, last[3] * 256);
  }
}

TEST(ExtractZoom, RefusesWindowsOutsideTheSource) {
  const int sw = 40, sh = 30;
  const auto rgbe = coordinate_rgbe(sw, sh);
  std::vector<uint8_t> dst(4 * 10 * 10, 0x77);
  const auto untouched = dst;
  auto zoom = [&](int kind, int ww, int wh, int x0, int y0) {
    return extract_zoom(kind, sw, sh, 3, sw * 3, ww, wh, x0, y0, rgbe.data(), nullptr, nullptr, dst.data());
  };
  EXPECT_EQ(zoom(kRgbe, 10, 10, -1, 0), -2);
  EXPECT_EQ(zoom(kRgbe, 10, 10, 0, -1), -2);
  EXPECT_EQ(zoom(kRgbe, 10, 10, 40, 0), -2);
  EXPECT_EQ(zoom(kRgbe, 10, 10, 0, 30), -2);
  // Origin inside, far edge outside: would read past the source.
  EXPECT_EQ(zoom(kRgbe, 10, 10, 31, 0), -2);
  EXPECT_EQ(zoom(kRgbe, 10, 10, 0, 21), -2);
  EXPECT_EQ(zoom(kRgbe, 0x7FFFFFF0, 10, 35, 0), -2);  // x0 + width overflows 32 bits
  EXPECT_EQ(zoom(kRgbe, 4, 10, 0, 0), -1);
  EXPECT_EQ(zoom(kRgbe, 10, 4, 0, 0), -1);
  EXPECT_EQ(zoom(5, 10, 10, 0, 0), 5);  // unrecognised kind: the kind itself
  EXPECT_EQ(zoom(kFloat, 10, 10, 0, 0), kFloat);
  EXPECT_EQ(zoom(k16, 10, 10, 0, 0), -1);  // its source is null
  EXPECT_EQ(dst, untouched);
  EXPECT_EQ(zoom(kRgbe, 10, 10, 30, 20), 10);
}

}  // namespace
