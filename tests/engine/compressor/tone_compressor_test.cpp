// SPDX-License-Identifier: MIT
#include "tmlib/tone_compressor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "core/tiling.h"
#include "tmlib/colour.h"
#include "compressor/tone_compressor_curve.h"

namespace {

struct Pixel {
  std::uint8_t r, g, b, e;
};

// Scanline-planar RGBE: per row W reds, W greens, W blues, W exponents.
std::vector<std::uint8_t> planar(const std::vector<Pixel> &pixels, int width) {
  const int height = static_cast<int>(pixels.size()) / width;
  std::vector<std::uint8_t> out(pixels.size() * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Pixel &p = pixels[static_cast<std::size_t>(y) * width + x];
      std::uint8_t *row = out.data() + static_cast<std::size_t>(4) * width * y;
      row[x] = p.r;
      row[width + x] = p.g;
      row[2 * width + x] = p.b;
      row[3 * width + x] = p.e;
    }
  }
  return out;
}

// Decoding table: mantissa * table[E] is the channel's value, mantissa * 2^(E - 136).
std::array<float, 256> exponent_table() {
  std::array<float, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = std::ldexp(1.0f, i - 136);
  return t;
}

struct Sliders {
  float brightness = 0, compression = 0, contrast = 0, whiteClip = 0, blackClip = 0, temperature = 0, saturation = 0;
};

std::array<float, 20> tm_param(const Sliders &s) {
  std::array<float, 20> p{};
  p[0] = s.brightness;
  p[1] = s.compression;
  p[2] = s.contrast;
  p[3] = s.whiteClip;
  p[4] = s.blackClip;
  p[12] = s.temperature;
  p[13] = s.saturation;
  return p;
}

// LogLumStats: min, max, mean, median, 99.5th percentile (natural logs).
std::array<float, 7> log_stats(float mn, float mx, float median, float p995) {
  return {mn, mx, 0.5f * (mn + mx), median, p995, 0, 0};
}

// The operator written out from its definition, in double precision, returning the three
// samples before clamping; `kelvin` >= 0 applies the colour-temperature matrix of that
// white point.
std::array<double, 3> reference(const Pixel &px, const Sliders &s, const std::array<float, 7> &st, double maxOut,
                                int kelvin) {
  const double median = st[3], p995 = st[4];
  const double d = p995 - median;
  const double keyLog = d > 4 ? 0.5 - 0.5 * d : -1.5;
  const double lkey = std::exp(keyLog);
  const double k = lkey / std::exp(median);
  double w;
  if (s.contrast > 0 && s.compression > 0) {
    const double c = 1 + 0.1 * s.compression;
    w = (10 * c + s.contrast) / (20 * c);
  } else {
    w = (s.contrast + 10) / 20.0;
  }
  const double lnk = std::log(k);
  const double mn = st[0] + lnk, mx = st[1] + lnk, med = median + lnk, p = p995 + lnk;
  const double e0 = 0.3 + 0.6 * std::pow((p - med) / (mx - mn), 1.4);
  double e = e0;
  if (s.compression < 0) e = ((s.compression + 10) / 10.0) * (e0 - 0.01) + 0.01;
  if (s.compression > 0) e = 0.9 - ((10 - s.compression) / 10.0) * (0.9 - e0);
  const double b = s.brightness;
  const double g = b > 0 ? 0.4 - 0.01 * b : (b > -6 ? 0.5 : 0.5 + 0.1 * (-6 - b));
  const double bf = std::exp(-b * g);
  auto D = [&](double l) { return std::pow(bf * (w * l + (1 - w) * lkey), e); };
  auto V = [&](double l) { return maxOut * l / (l + D(l)); };
  const double vmax = V(std::exp(mx)), vmin = V(std::exp(mn));
  const double hi = vmax - 0.04 * s.whiteClip * (vmax - vmin);
  const double lo = vmin + 0.06 * s.blackClip * (vmax - vmin);
  const double scale = maxOut / (hi - lo);

  double rgb[3] = {double(px.r), double(px.g), double(px.b)};
  const double y = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
  if (kelvin >= 0) {
    float xyz[3];
    kelvin2XYZ(kelvin, xyz);
    const double sc[3] = {xyz[0] / 0.950456, 1.0, xyz[2] / 1.088754};
    double m[3][3] = {};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int q = 0; q < 3; ++q) m[i][j] += double(xyz2rgb_sRGB[i][q]) * sc[q] * rgb2xyz_sRGB[q][j];
    const double r0 = rgb[0], g0 = rgb[1], b0 = rgb[2];
    for (int i = 0; i < 3; ++i) rgb[i] = m[i][0] * r0 + m[i][1] * g0 + m[i][2] * b0;
  }
  const double f = k * std::ldexp(1.0, px.e - 136);
  const double dl = D(y * f);
  std::array<double, 3> out{};
  for (int i = 0; i < 3; ++i) {
    const double c = rgb[i] * f;
    out[i] = (maxOut * c / (c + dl) - lo) * scale;
  }
  return out;
}

// The sample a value becomes: clamped, truncated toward zero.
double clamp_out(double v, double maxOut) { return std::floor(std::clamp(v, 0.0, maxOut)); }

struct Mapped {
  int result;
  std::vector<std::uint8_t> out;
};

// Runs tm_simple on `pixels` (width x height) into spp-sample rows of `stride` samples,
// pre-filled with 0xEE so that untouched samples show.
Mapped run(const std::vector<Pixel> &pixels, int width, const Sliders &s, const std::array<float, 7> &st, int bits = 8,
           int workers = 1, int spp = 3, int stride = 0, int order = 0) {
  const int height = static_cast<int>(pixels.size()) / width;
  if (stride == 0) stride = spp * width;
  DimParam dim{{width, height, spp, 8, bits, 0, stride, order}};
  OptimParam opt{};
  opt.v[0] = workers;
  const auto src = planar(pixels, width);
  const auto table = exponent_table();
  const auto param = tm_param(s);
  Mapped r;
  r.out.assign(static_cast<std::size_t>(stride) * height * (bits == 16 ? 2 : 1), 0xEE);
  r.result = tm_simple(dim, param.data(), st.data(), table.data(), opt, src.data(), r.out.data());
  return r;
}

int sample16(const std::vector<std::uint8_t> &out, std::size_t index) {
  std::uint16_t v;
  std::memcpy(&v, out.data() + 2 * index, 2);
  return v;
}

// A spread of colours and exposures; the statistics below roughly describe it.
std::vector<Pixel> test_pixels() {
  std::vector<Pixel> px;
  const std::uint8_t mant[][3] = {{200, 100, 50}, {128, 128, 128}, {30, 200, 90}, {250, 250, 10}, {140, 60, 230}};
  for (int e = 126; e <= 142; e += 4)
    for (const auto &m : mant) px.push_back({m[0], m[1], m[2], static_cast<std::uint8_t>(e)});
  return px;  // 25 pixels: 5 x 5
}

const std::array<float, 7> kStats = log_stats(-9.0f, 6.5f, -1.0f, 3.0f);

TEST(ToneCompressor, MatchesTheOperatorsFormulasAcrossTheSliders) {
  const std::vector<Pixel> px = test_pixels();
  const Sliders cases[] = {
      {},
      {5, 0, 0, 0, 0, 0, 0},         // bf = exp(-5 * 0.35)
      {-6, 0, 0, 0, 0, 0, 0},        // g = 0.5
      {-5.9f, 0, 0, 0, 0, 0, 0},     // g = 0.5
      {-7, 0, 0, 0, 0, 0, 0},        // g = 0.6
      {0, 4, 3, 0, 0, 0, 0},         // contrast and compression both positive
      {0, -4, 10, 0, 0, 0, 0},       // w = 1
      {0, 0, -10, 0, 0, 0, 0},       // w = 0
      {0, -10, 0, 0, 0, 0, 0},       // e = 0.01
      {0, 10, 0, 0, 0, 0, 0},        // e = 0.9
      {1, 2, -3, 2.5f, 1.5f, 0, 0},  // clips narrow the range
  };
  const auto wideStats = log_stats(-12.0f, 9.0f, -2.0f, 4.5f);  // p99.5 - median > 4: darker key
  for (const auto &st : {kStats, wideStats}) {
    for (const Sliders &s : cases) {
      for (int bits : {8, 16}) {
        const double maxOut = bits == 16 ? 65535 : 255;
        const Mapped r = run(px, 5, s, st, bits);
        ASSERT_EQ(r.result, 5);
        for (std::size_t i = 0; i < px.size(); ++i) {
          const auto want = reference(px[i], s, st, maxOut, -1);
          for (int c = 0; c < 3; ++c) {
            const int got = bits == 16 ? sample16(r.out, 3 * i + c) : r.out[3 * i + c];
            // The operator works in single precision: a sample may land one step off
            // (two at 16 bits) where the value is close to an integer.
            EXPECT_NEAR(got, clamp_out(want[c], maxOut), bits == 16 ? 2.0 : 1.0)
                << "pixel " << i << " channel " << c << " bits " << bits << " brightness " << s.brightness
                << " compression " << s.compression << " contrast " << s.contrast;
          }
        }
      }
    }
  }
}

TEST(ToneCompressor, GreyAtTheStatisticsExtremesSpansTheOutputRange) {
  // Grey pixels 128 * 2^(E - 136) at E = 130 and 140, whose logs are the statistics' extremes.
  const std::vector<Pixel> px = {{128, 128, 128, 130}, {128, 128, 128, 140}};
  const float mn = static_cast<float>((130 - 129) * std::log(2.0));
  const float mx = static_cast<float>((140 - 129) * std::log(2.0));
  const auto st = log_stats(mn, mx, 0.5f * (mn + mx), mx - 0.5f);
  const Mapped r8 = run(px, 2, {}, st, 8);
  EXPECT_EQ(r8.out[0], 0);
  EXPECT_EQ(r8.out[2], 0);
  EXPECT_EQ(r8.out[3], 255);
  EXPECT_EQ(r8.out[5], 255);
  const Mapped r16 = run(px, 2, {}, st, 16);
  EXPECT_LE(sample16(r16.out, 0), 1);
  EXPECT_GE(sample16(r16.out, 3), 65534);
}

TEST(ToneCompressor, ExtremeCompressionFixesTheExponent) {
  // At +-10 the exponent no longer depends on the statistics: two sets with different
  // spreads must both follow the fixed exponents 0.01 and 0.9.
  const std::vector<Pixel> px = test_pixels();
  for (const auto &st : {kStats, log_stats(-9.0f, 6.5f, -1.0f, 0.0f)}) {
    for (float comp : {-10.0f, 10.0f}) {
      Sliders s;
      s.compression = comp;
      const double e = comp < 0 ? 0.01 : 0.9;
      const double median = st[3];
      const double k = std::exp(-1.5) / std::exp(median);
      auto V = [&](double l) { return 255 * l / (l + std::pow(0.5 * l + 0.5 * std::exp(-1.5), e)); };
      const double lo = V(std::exp(st[0]) * k), hi = V(std::exp(st[1]) * k);
      const Mapped r = run(px, 5, s, st);
      for (std::size_t i = 0; i < px.size(); ++i) {
        const double f = k * std::ldexp(1.0, px[i].e - 136);
        const double y = 0.2126 * px[i].r + 0.7152 * px[i].g + 0.0722 * px[i].b;
        const double d = std::pow(0.5 * y * f + 0.5 * std::exp(-1.5), e);
        const double c = px[i].r * f;
        const double want = (255 * c / (c + d) - lo) * 255 / (hi - lo);
        EXPECT_NEAR(r.out[3 * i], clamp_out(want, 255), 1.0) << "compression " << comp << " pixel " << i;
      }
    }
  }
}

TEST(ToneCompressor, GlobalAdaptationMapsEachChannelOnItsOwn) {
  // Contrast -10 gives w = 0: every pixel adapts to the key only, so equal red values give
  // equal red samples whatever the other channels hold.
  const std::vector<Pixel> px = {{100, 10, 10, 136}, {100, 250, 250, 136}, {100, 128, 0, 136}};
  Sliders s;
  s.contrast = -10;
  const Mapped r = run(px, 3, s, kStats);
  EXPECT_EQ(r.out[0], r.out[3]);
  EXPECT_EQ(r.out[0], r.out[6]);
  s.contrast = 0;  // w = 0.5: the pixel's own luminance now matters
  const Mapped mixed = run(px, 3, s, kStats);
  EXPECT_GT(mixed.out[0], mixed.out[3]);
}

TEST(ToneCompressor, ColourTemperature) {
  const std::vector<Pixel> px = test_pixels();
  Sliders s;
  s.temperature = 1;  // 6500 - 200 = 6300 K
  const Mapped warm = run(px, 5, s, kStats);
  for (std::size_t i = 0; i < px.size(); ++i) {
    const auto want = reference(px[i], s, kStats, 255, 6300);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(warm.out[3 * i + c], clamp_out(want[c], 255), 1.0) << i << " " << c;
  }
  // Below one slider unit nothing is applied, in either direction.
  const Mapped neutral = run(px, 5, {}, kStats);
  for (float t : {0.5f, -0.5f, 0.99f}) {
    s.temperature = t;
    EXPECT_EQ(run(px, 5, s, kStats).out, neutral.out) << t;
  }
  EXPECT_NE(warm.out, neutral.out);
  // The kelvin value is a single-precision product: 1.1 gives 6280 K, like 1.099609375,
  // which binary holds exactly (in double, 1.1f would give 6279 K).
  s.temperature = 1.1f;
  const Mapped slider = run(px, 5, s, kStats, 16);
  s.temperature = 1.099609375f;
  EXPECT_EQ(slider.out, run(px, 5, s, kStats, 16).out);
}

// The per-call constants: parameters are single precision, only the power of e0 is taken
// in double and rounded back. Read wholly in double, T falls a kelvin short at
// ColorTemperature 1.1 and -6.2, and e0 and the saturation factor can land a float step away.
TEST(ToneCompressor, PerCallConstantsAreSinglePrecision) {
  const auto curve_for = [](const Sliders &s, const std::array<float, 7> &st) {
    tmlib::ToneCurve tc;
    EXPECT_TRUE(tmlib::make_curve(tm_param(s).data(), st.data(), 16, tc));
    return tc;
  };
  Sliders s;
  for (auto [slider, kelvin] : {std::pair{1.1f, 6280}, {-6.2f, 7740}, {1.0f, 6300}}) {
    s.temperature = slider;
    EXPECT_EQ(curve_for(s, kStats).kelvin, kelvin) << slider;
  }
  s.temperature = 0;
  for (float saturation : {7.7f, 6.5f, -6.2f}) {
    s.saturation = saturation;
    EXPECT_EQ(curve_for(s, kStats).satFactor, 1.0f + 0.1f * saturation) << saturation;
  }
  // A median of -1.5 with a spread of at most 4 makes k = 1: the statistics enter e0 as they
  // are. With p99.5 = max and median = min the power is exactly 1, and 0.3f + 0.6f is one
  // float step above 0.9f, the double reading.
  for (const auto &st : {log_stats(-1.5f, 2.0f, -1.5f, 2.0f), log_stats(-4.0f, 3.3f, -1.5f, 1.7f)}) {
    const float q = (st[4] - st[3]) / (st[1] - st[0]);
    const float e0 = 0.3f + 0.6f * static_cast<float>(std::pow(static_cast<double>(q), 1.4));
    EXPECT_EQ(curve_for({}, st).exponent, static_cast<double>(e0)) << q;
  }
}

TEST(ToneCompressor, Saturation) {
  // Mid-tone colours whose samples stay inside 0..255, so that clamping does not interfere.
  const std::vector<Pixel> px = {{200, 100, 60, 136}, {90, 160, 120, 135}, {120, 110, 180, 136}, {140, 130, 125, 136}};
  const Mapped plain = run(px, 4, {}, kStats);
  Sliders s;
  s.saturation = -10;  // factor 0: grey
  const Mapped grey = run(px, 4, s, kStats);
  for (std::size_t i = 0; i < px.size(); ++i) {
    EXPECT_NEAR(grey.out[3 * i], grey.out[3 * i + 1], 1);
    EXPECT_NEAR(grey.out[3 * i], grey.out[3 * i + 2], 1);
  }
  s.saturation = 10;  // factor 2, limited at 1
  const Mapped vivid = run(px, 4, s, kStats);
  for (std::size_t i = 0; i < px.size(); ++i) {
    const auto want = reference(px[i], {}, kStats, 255, -1);
    ASSERT_GT(want[0], 0);
    ASSERT_LT(want[0], 255);
    const float unsat[3] = {float(want[0]), float(want[1]), float(want[2])};
    float hsl[3];
    rgb2hsl(255, unsat, hsl);
    const float plainHsl[3] = {hsl[0], hsl[1], hsl[2]};
    hsl[1] = std::min(hsl[1] * 2.0f, 1.0f);
    float sat[3];
    hsl2rgb(255, hsl, sat);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(vivid.out[3 * i + c], clamp_out(sat[c], 255), 1.0) << i << " " << c;
    // The hue and lightness stay; only the saturation moved.
    const float got[3] = {float(vivid.out[3 * i]), float(vivid.out[3 * i + 1]), float(vivid.out[3 * i + 2])};
    float gotHsl[3];
    rgb2hsl(255, got, gotHsl);
    EXPECT_NEAR(gotHsl[2], plainHsl[2], 0.01f);
    EXPECT_GE(gotHsl[1], plainHsl[1]);
  }
}

TEST(ToneCompressor, BlackPixelsStayBlackEvenBelowAnExtendedBlackPoint) {
  // A negative black clip moves lo below zero: a mapped zero would come out grey.
  const std::vector<Pixel> px = {{0, 0, 0, 0}, {200, 9, 9, 0}, {128, 128, 128, 100}};
  Sliders s;
  s.blackClip = -8;
  const Mapped r = run(px, 3, s, kStats);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(r.out[i], 0) << i;
  EXPECT_GT(r.out[6], 0);  // a very dark but non-zero pixel is lifted
}

TEST(ToneCompressor, ChannelOrderAndRowStride) {
  const std::vector<Pixel> px = test_pixels();
  const Mapped rgb = run(px, 5, {}, kStats, 8, 1, 3);
  // spp 4, swapped order, 3 samples of padding per row.
  const Mapped swapped = run(px, 5, {}, kStats, 8, 1, 4, 23, 1);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      const std::uint8_t *want = &rgb.out[3 * (5 * y + x)];
      const std::uint8_t *got = &swapped.out[23 * y + 4 * x];
      EXPECT_EQ(got[3], want[0]);
      EXPECT_EQ(got[1], want[1]);
      EXPECT_EQ(got[0], want[2]);
      EXPECT_EQ(got[2], 0xEE);
    }
    for (int pad = 20; pad < 23; ++pad) EXPECT_EQ(swapped.out[23 * y + pad], 0xEE);
  }
  // 16-bit samples land at the same positions, two bytes each.
  const Mapped wide = run(px, 5, {}, kStats, 16, 1, 4, 21, 0);
  for (int x = 0; x < 5; ++x) {
    EXPECT_NE(sample16(wide.out, 4 * x), 0xEEEE);
    EXPECT_EQ(sample16(wide.out, 4 * x + 2), 0xEEEE);  // spp 4: sample 2 is not a channel
  }
  EXPECT_EQ(sample16(wide.out, 20), 0xEEEE);
}

TEST(ToneCompressor, RefusedArgumentsWriteNothing) {
  const std::vector<Pixel> px = test_pixels();
  auto untouched = [](const Mapped &r) {
    return std::all_of(r.out.begin(), r.out.end(), [](std::uint8_t b) { return b == 0xEE; });
  };
  for (int workers : {1, 3}) {
    const Mapped flat = run(px, 5, {}, log_stats(2, 2, 2, 2), 8, workers);
    EXPECT_EQ(flat.result, -1);
    EXPECT_TRUE(untouched(flat));
    const Mapped nan = run(px, 5, {}, log_stats(NAN, 2, 1, 1), 8, workers);
    EXPECT_EQ(nan.result, -1);
    EXPECT_TRUE(untouched(nan));
    const Mapped twelve = run(px, 5, {}, kStats, 12, workers);
    EXPECT_EQ(twelve.result, 0);
    EXPECT_TRUE(untouched(twelve));
    // A row length shorter than its pixels would make rows overlap (or run backwards).
    const Mapped shortRows = run(px, 5, {}, kStats, 8, workers, 3, 14);
    EXPECT_EQ(shortRows.result, 0);
    EXPECT_TRUE(untouched(shortRows));
  }
  // Slider values that are not numbers switch their step off instead of poisoning it.
  Sliders odd;
  odd.saturation = NAN;
  odd.temperature = NAN;
  EXPECT_EQ(run(px, 5, odd, kStats).out, run(px, 5, {}, kStats).out);
}

TEST(ToneCompressor, BandsGiveTheSamePictureForAnyWorkerCount) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> mant(0, 255), expo(120, 150);
  const int width = 37, height = 23;
  std::vector<Pixel> px(width * height);
  for (Pixel &p : px) {
    p = {std::uint8_t(mant(rng)), std::uint8_t(mant(rng)), std::uint8_t(mant(rng)), std::uint8_t(expo(rng))};
    if (mant(rng) < 10) p.e = 0;
  }
  Sliders s{1.5f, 3, 2, 1, 1, 2, 4};
  for (int bits : {8, 16}) {
    const Mapped one = run(px, width, s, kStats, bits, 1);
    EXPECT_EQ(one.result, height);
    for (int workers : {2, 3, 32}) {
      const Mapped many = run(px, width, s, kStats, bits, workers);
      EXPECT_EQ(many.out, one.out) << workers << " workers, " << bits << " bits";
      // The result is the last band's row count.
      const int rowsPer = height / workers;
      EXPECT_EQ(many.result, height - rowsPer * (workers - 1)) << workers;
    }
  }
  // Ten rows over four workers: bands of 2, 2, 2 and 4 rows.
  std::vector<Pixel> ten(px.begin(), px.begin() + 3 * 10);
  EXPECT_EQ(run(ten, 3, s, kStats, 8, 4).result, 4);
  EXPECT_EQ(run(ten, 3, s, kStats, 8, 4).out, run(ten, 3, s, kStats, 8, 1).out);
}

TEST(ToneCompressor, AThreadThatCannotBeCreatedIsReportedButThePictureIsComplete) {
  std::vector<Pixel> px = test_pixels();
  for (int i = 0; i < 3; ++i) px.insert(px.end(), px.begin(), px.begin() + 25);  // 5 x 20
  const Mapped one = run(px, 5, {}, kStats, 8, 1);
  for (int failAt : {0, 1, 2}) {
    tmlib::testing::fail_thread_creation_at(failAt);
    const Mapped fell = run(px, 5, {}, kStats, 8, 3);
    tmlib::testing::fail_thread_creation_at(-1);
    EXPECT_EQ(tmlib::testing::live_workers(), 0);
    EXPECT_EQ(fell.result, -2) << failAt;
    EXPECT_EQ(fell.out, one.out) << failAt;
  }
}

}  // namespace
