// SPDX-License-Identifier: MIT
// The finishing stage of the Details Enhancer. Expected pixels are computed here from the
// stage's formulas in double precision (the smooth steps from the classic 3t^2 - 2t^3 form,
// which the two cubics reproduce), never from the engine's own helpers.
#include "details/stage3.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/status.h"
#include "support/guarded_buffer.h"
#include "core/tiling.h"
#include "tmlib/details.h"
#include "tmlib/params.h"

namespace tmlib {
namespace {

std::vector<float> default_param(int docType) {
  std::vector<float> p(20);
  tmparam_default(1, docType, p.data());
  return p;
}

DimParam dims(int w, int h, int spp, int bits, int srcStride, int dstStride) {
  DimParam d;
  init_dim_param(&d);
  d.v[0] = w;
  d.v[1] = h;
  d.v[2] = spp;
  d.v[4] = bits;
  d.v[5] = srcStride;
  d.v[6] = dstStride;
  return d;
}

OptimParam workers(int n, int readFromDisk = 0) {
  OptimParam o;
  init_optim_param(&o);
  o.v[0] = n;
  o.v[1] = readFromDisk;
  return o;
}

std::vector<float> exponent_table() {
  std::vector<float> t(256);
  for (int i = 0; i < 256; ++i) t[i] = static_cast<float>(std::ldexp(1.0, i - 136));
  return t;
}

// ---------------------------------------------------------------------------------------
// Plane normalisation

// Normalised value of v for a plane with minimum mn, maximum mx, black bin planch, white bin plaf.
double normalised(double v, double mn, double mx, int planch, int plaf) {
  const double scale = 65535.0 / (mx - mn);
  const double black = mn + planch / scale;
  return std::max(0.0, (v - black) / (plaf / scale));
}

TEST(Stage3Normalisation, EvenlySpreadPlaneWithDefaultClipsKeepsBlackAndClipsOnlyTheTop) {
  // 100 distinct values, shuffled: black = min and only the top bin goes above white.
  std::vector<float> plane(100);
  for (int i = 0; i < 100; ++i) plane[i] = 2.0f + 0.5f * static_cast<float>((i * 37) % 100);
  const std::vector<float> original = plane;
  const auto p = default_param(0);
  ASSERT_EQ(tm30(10, 10, DimParam{}, p.data(), plane.data()), 10);
  int above = 0;
  for (int i = 0; i < 100; ++i) {
    EXPECT_NEAR(plane[i], normalised(original[i], 2.0, 51.5, 0, 65534), 1e-5) << i;
    EXPECT_GE(plane[i], 0.0f);
    if (plane[i] > 1.0f) {
      ++above;
      EXPECT_EQ(original[i], 51.5f);
    }
    if (original[i] == 2.0f) {
      EXPECT_EQ(plane[i], 0.0f);
    }
  }
  EXPECT_EQ(above, 1);
}

TEST(Stage3Normalisation, BlackClipDividesByTheWhiteBinMeasuredFromTheBottom) {
  // BlackClip 10: 5 % of 100 values, the bins of values 0..4, fall below black. Value i sits
  // in bin floor(i * 65535 / 99); planch is one past the bin of value 4.
  std::vector<float> plane(100);
  for (int i = 0; i < 100; ++i) plane[i] = static_cast<float>(i);
  auto p = default_param(0);
  p[4] = 10.0f;
  ASSERT_EQ(tm30(100, 1, DimParam{}, p.data(), plane.data()), 1);
  const int planch = 4 * 65535 / 99 + 1;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(plane[i], 0.0f) << i;
  for (int i = 5; i < 100; ++i) EXPECT_NEAR(plane[i], normalised(i, 0, 99, planch, 65534), 1e-5) << i;
  // A clip value out of range counts as the default (no black clipping here).
  for (int i = 0; i < 100; ++i) plane[i] = static_cast<float>(i);
  p[4] = 11.0f;
  ASSERT_EQ(tm30(100, 1, DimParam{}, p.data(), plane.data()), 1);
  EXPECT_GT(plane[1], 0.0f);
}

TEST(Stage3Normalisation, FlatPlanesScaleFromZeroAndNeverDivideByZero) {
  // max = min: scale = 32767.5 / max with min 0; every value lands in bin 32767, the white
  // bin is the one below it.
  std::vector<float> plane(12, 7.0f);
  const auto p = default_param(0);
  ASSERT_EQ(tm30(4, 3, DimParam{}, p.data(), plane.data()), 3);
  const double scale = 32767.5 / 7.0;
  for (float v : plane) EXPECT_NEAR(v, 7.0 / (32766.0 / scale), 1e-6);

  // An all-zero plane leaves no bin below white: it must stay black, not become NaN.
  std::vector<float> zeros(12, 0.0f);
  ASSERT_EQ(tm30(4, 3, DimParam{}, p.data(), zeros.data()), 3);
  for (float v : zeros) EXPECT_EQ(v, 0.0f);
}

TEST(Stage3Normalisation, NegativeOrEmptyPlanesAreRefusedUntouched) {
  const auto p = default_param(0);
  std::vector<float> plane = {1.0f, 2.0f, -0.5f, 3.0f};
  const std::vector<float> before = plane;
  EXPECT_EQ(tm30(2, 2, DimParam{}, p.data(), plane.data()), kErrPlaneMin);
  EXPECT_EQ(plane, before);

  // No comparable value at all: the maximum stays at its start, -1e9.
  std::vector<float> nan(4, std::nanf(""));
  EXPECT_EQ(tm30(2, 2, DimParam{}, p.data(), nan.data()), kErrPlaneMax);
  for (float v : nan) EXPECT_TRUE(std::isnan(v));

  // Through the entry point: the code comes back and nothing is written.
  std::vector<float> f(12, 1.0f), lum = {1, 10, 0.1f, 0, -1, 1, 2};
  std::vector<std::uint8_t> dst(12, 0xAB);
  std::vector<float> bad = before;
  EXPECT_EQ(calc_tm3(10, dims(2, 2, 3, 8, 6, 6), p.data(), lum.data(), nullptr, nullptr, workers(2), f.data(),
                     bad.data(), dst.data()),
            kErrPlaneMin);
  EXPECT_EQ(bad, before);
  for (auto b : dst) EXPECT_EQ(b, 0xAB);
}

// ---------------------------------------------------------------------------------------
// Cubic pieces

TEST(Stage3Cubics, CoeffPoly3MeetsBothPointsFlatAtItsEnd) {
  const float cases[][4] = {{0, 0, 1, 1}, {-3, 2, -1, 0.5f}, {2, 1, 5, -4}, {4, -1, 1, 7}};
  for (const auto &c : cases) {
    float a, b, cc, d;
    coeffPoly3(c[0], c[1], &a, &b, &cc, &d, c[2], c[3]);
    const auto f = [&](double x) { return a * x * x * x + b * x * x + cc * x + d; };
    const auto slope = [&](double x) { return 3 * a * x * x + 2 * b * x + cc; };
    EXPECT_NEAR(f(c[0]), c[1], 1e-4);
    EXPECT_NEAR(f(c[2]), c[3], 1e-4);
    EXPECT_NEAR(slope(c[0]), 0.0, 1e-4);
    // At the midpoint end: the slope a half step of the smooth step needs, 1.5 (B - A) / (Q - P)
    // with x2 - x1 half the interval and y2 - y1 half the jump.
    EXPECT_NEAR(slope(c[2]), 1.5 * (2.0 * (c[3] - c[1])) / (2.0 * (c[2] - c[0])), 1e-3);
  }
  float a = 1, b = 1, cc = 1, d = 1;
  coeffPoly3(2.5f, 1.0f, &a, &b, &cc, &d, 2.5f, 3.0f);
  EXPECT_EQ(a, 0.0f);
  EXPECT_EQ(b, 0.0f);
  EXPECT_EQ(cc, 0.0f);
  EXPECT_EQ(d, 0.0f);
}

TEST(Stage3Cubics, SmoothStepIsTheClassicOneWithEqualSlopesAtTheJoin) {
  const float p = -2.0f, q = 3.0f, from = 1.0f, to = -0.5f;
  const SmoothStep s = make_smooth_step(p, from, q, to);
  for (int i = 0; i <= 50; ++i) {
    const double x = p + (q - p) * i / 50.0;
    const double t = (x - p) / (q - p);
    EXPECT_NEAR(s(static_cast<float>(x)), from + (to - from) * (3 * t * t - 2 * t * t * t), 1e-5) << x;
  }
  EXPECT_NEAR(s(0.5f), (from + to) / 2, 1e-6);
  const auto slope = [](const Cubic &c, double x) { return 3 * c.a * x * x + 2 * c.b * x + c.c; };
  EXPECT_NEAR(slope(s.low, 0.5), slope(s.high, 0.5), 1e-5);
  EXPECT_NEAR(slope(s.low, 0.5), 1.5 * (to - from) / (q - p), 1e-5);
  EXPECT_NEAR(slope(s.low, p), 0.0, 1e-5);
  EXPECT_NEAR(slope(s.high, q), 0.0, 1e-5);
}

// ---------------------------------------------------------------------------------------
// Per-pixel finishing, run directly on an already normalised plane

constexpr double kLn10 = 2.302585092994046;

struct Lum {
  float avg = 0.5f, maxRel = 200.0f, min = 0.001f;
  float med = std::log(0.5f), lo = std::log(0.1f), hi = std::log(5.0f), white = std::log(50.0f);
  std::vector<float> v() const { return {avg, maxRel, min, med, lo, hi, white}; }
};

// The global curve of the stage for a relative luminance y.
double global_curve(double y, double maxRel, double gammaD) {
  const double drago = kLn10 / std::log(maxRel + 1.0);
  return std::pow(drago * std::log(y + 1.0) / std::log(8.0 * std::pow(y / maxRel, 0.23) + 2.0), gammaD);
}

double smoothstep(double x, double p, double a, double q, double b) {
  const double t = (x - p) / (q - p);
  return a + (b - a) * (3 * t * t - 2 * t * t * t);
}

int sample16(double v) { return v <= 0 ? 0 : (v >= 1 ? 65535 : static_cast<int>(v * 65535.0)); }

// Float pixels (kind 10) through tm31, 16-bit output, spp 3; other kinds read `samples`
// through `curve` instead.
std::vector<std::uint16_t> finish_floats(const std::vector<float> &rgb, std::vector<float> plane,
                                         const std::vector<float> &param, const Lum &lum, int kind = 10,
                                         const std::vector<float> *curve = nullptr, const void *samples = nullptr) {
  const int w = static_cast<int>(plane.size());
  std::vector<std::uint16_t> dst(3 * w, 0xFFFF);
  const auto lp = lum.v();
  const void *src = samples ? samples : static_cast<const void *>(rgb.data());
  const int rows = tm31(kind, dims(w, 1, 3, 16, 3 * w, 3 * w), param.data(), lp.data(), nullptr,
                        curve ? curve->data() : nullptr, workers(1), src, plane.data(), dst.data(), w, 1);
  EXPECT_EQ(rows, 1);
  return dst;
}

TEST(Stage3Pixels, StrengthWeighsTheGlobalCurvePerDocumentKind) {
  // Grey pixels, so that the colour ratio is 1 and only the base luminance shows.
  const Lum lum;
  const std::vector<float> plane = {0.1f, 0.3f, 0.6f, 0.9f};
  const std::vector<float> greys = {0.05f, 0.4f, 2.0f, 30.0f};
  // Linear curve for 16-bit samples: sample i is i / 1000. The 8-bit samples 1 to 4 map to
  // the same linear values through their 256-entry curve.
  std::vector<float> curve(65536), curve8(256, 0.0f);
  for (int i = 0; i < 65536; ++i) curve[i] = static_cast<float>(i) / 1000.0f;
  std::vector<std::uint16_t> src16;
  std::vector<std::uint8_t> src8;
  std::vector<float> rgb;
  for (size_t i = 0; i < greys.size(); ++i) {
    const auto raw = static_cast<std::uint16_t>(greys[i] * 1000.0f);
    curve8[i + 1] = curve[raw];
    for (int c = 0; c < 3; ++c) {
      rgb.push_back(greys[i]);
      src16.push_back(raw);
      src8.push_back(static_cast<std::uint8_t>(i + 1));
    }
  }
  struct Case {
    int kind;
    float strength;
    double wG;
  } cases[] = {{10, 70, 0.27},   {0 + 10, 100, 0.0}, {10, 0, 0.891},    {1, 40, 0.456},
               {1, 41, 0.45084}, {2, 41, 0.45084},   {1, 100, 0.14994}, {2, 10, 0.684}};
  for (const Case &c : cases) {
    auto p = default_param(c.kind == 10 ? 0 : 1);
    p[1] = c.strength;
    const auto out = c.kind == 10  ? finish_floats(rgb, plane, p, lum)
                     : c.kind == 1 ? finish_floats(rgb, plane, p, lum, 1, &curve, src16.data())
                                   : finish_floats(rgb, plane, p, lum, 2, &curve8, src8.data());
    for (size_t i = 0; i < plane.size(); ++i) {
      const double y = (c.kind == 10 ? greys[i] : curve[static_cast<int>(greys[i] * 1000.0f)]) / lum.avg;
      const double m = c.wG * global_curve(y, lum.maxRel, 0.45) + (1 - c.wG) * plane[i];
      const int expected = sample16(m);  // gamma 1
      for (int ch = 0; ch < 3; ++ch) {
        EXPECT_NEAR(out[3 * i + ch], expected, 3) << "kind " << c.kind << " S " << c.strength << " px " << i;
      }
    }
  }
}

TEST(Stage3Pixels, GammaSliderAndItsLimits) {
  const Lum lum;
  const std::vector<float> plane = {0.2f, 0.5f, 0.8f};
  const std::vector<float> rgb(9, 1.0f);
  // slider -> gamma: 50 -> 1, 0 -> 2, 100 -> 0.5, 152 -> 2^-2.04 (kept), 153 and -1 out of
  // range -> 1.
  const double cases[][2] = {{50, 1}, {0, 2}, {100, 0.5}, {152, std::pow(2.0, -2.04)}, {153, 1}, {-1, 1}};
  for (const auto &c : cases) {
    auto p = default_param(0);
    p[1] = 100;  // the plane alone
    p[8] = static_cast<float>(c[0]);
    const auto out = finish_floats(rgb, plane, p, lum);
    for (size_t i = 0; i < plane.size(); ++i) {
      EXPECT_NEAR(out[3 * i], sample16(std::pow(plane[i], c[1])), 3) << "slider " << c[0];
    }
  }
}

TEST(Stage3Pixels, RgbeSourcesGetTheDisplayGammaAndBlackForExponentZero) {
  // Two grey RGBE pixels and one with exponent 0; spp 4 with the channel-order flag: red goes
  // to sample 3, blue to sample 0, and sample 2 is never written.
  const int w = 3;
  std::vector<std::uint8_t> src(4 * w);
  const std::uint8_t mant[w] = {128, 200, 77};
  const std::uint8_t expo[w] = {136, 130, 0};
  for (int x = 0; x < w; ++x) {
    src[x] = src[w + x] = src[2 * w + x] = mant[x];
    src[3 * w + x] = expo[x];
  }
  std::vector<float> plane = {0.3f, 0.7f, 0.9f};
  const auto table = exponent_table();
  const Lum lum;
  const auto lp = lum.v();
  for (float shadowsClipping : {0.0f, 100.0f}) {
    auto p = default_param(0);
    p[1] = 100;
    p[11] = shadowsClipping;
    DimParam d = dims(w, 1, 4, 8, 0, 4 * w);
    d.v[7] = 1;
    std::vector<std::uint8_t> dst(4 * w, 0xAB);
    std::vector<float> pl = plane;
    ASSERT_EQ(
        tm31(0, d, p.data(), lp.data(), table.data(), nullptr, workers(1), src.data(), pl.data(), dst.data(), w, 1), 1);
    for (int x = 0; x < 2; ++x) {
      // Strength 100, no clipping for these luminances: L = plane^2.2, grey stays grey
      // (the saturation exponent is irrelevant for a ratio of 1).
      const double logY = std::log(mant[x] * std::ldexp(1.0, expo[x] - 136));
      ASSERT_GT(logY, std::log(lum.min));
      const int expected = static_cast<int>(std::pow(plane[x], 2.2) * 255.0);
      EXPECT_NEAR(dst[4 * x + 3], expected, 1) << x;
      EXPECT_NEAR(dst[4 * x + 0], expected, 1) << x;
      EXPECT_NEAR(dst[4 * x + 1], expected, 1) << x;
      EXPECT_EQ(dst[4 * x + 2], 0xAB);
    }
    EXPECT_EQ(dst[8], 0);
    EXPECT_EQ(dst[9], 0);
    EXPECT_EQ(dst[11], 0);
    EXPECT_EQ(dst[10], 0xAB);
  }
}

TEST(Stage3Pixels, ShadowsClippingPullsTheDeepestShadowsTo002) {
  // logMin = ln 0.001, logMax = ln 100, logMed = ln 0.5. ShadowsClipping 50:
  // upper = logMin + 0.5 (logMed - logMin), lower = upper - 0.4 (logMax - logMed).
  const Lum lum;
  const double logMin = std::log(0.001), logMax = std::log(0.5 * 200.0), logMed = std::log(0.5);
  const double upper = logMin + 0.5 * (logMed - logMin);
  const double lower = upper - 0.4 * (logMax - logMed);
  const double inside = 0.5 * (upper + lower) + 0.3;
  const std::vector<float> greys = {static_cast<float>(std::exp(lower - 0.5)), static_cast<float>(std::exp(inside)),
                                    static_cast<float>(std::exp(upper + 0.2)), 1.0f};
  const std::vector<float> plane = {0.5f, 0.5f, 0.5f, 0.5f};
  std::vector<float> rgb;
  for (float g : greys) rgb.insert(rgb.end(), {g, g, g});
  for (float strength : {100.0f, 60.0f}) {
    auto p = default_param(0);
    p[1] = strength;
    p[11] = 50;
    const auto out = finish_floats(rgb, plane, p, lum);
    const double wG = (100.0 - strength) * 0.009;
    for (size_t i = 0; i < greys.size(); ++i) {
      const double logY = std::log(greys[i] * (0.2126f + 0.7152f + 0.0722f));
      double m = wG * global_curve(greys[i] / lum.avg, lum.maxRel, 0.45) + (1 - wG) * plane[i];
      if (logY < upper) {
        const double w = logY < lower ? 1.0 : smoothstep(logY, lower, 1.0, upper, 0.0);
        m = (1 - w) * m + 0.02 * w;
      }
      EXPECT_NEAR(out[3 * i], sample16(m), 3) << "S " << strength << " px " << i;
    }
    EXPECT_NEAR(out[0], sample16(0.02), 1);  // below the lower threshold
  }
  // ShadowsClipping 0 at Strength 100 leaves the plane alone even for the darkest pixel.
  auto p = default_param(0);
  p[1] = 100;
  const auto out = finish_floats(rgb, plane, p, lum);
  EXPECT_NEAR(out[0], sample16(0.5), 2);
}

TEST(Stage3Pixels, SaturationOfHighlightsAndShadowsReachesItsLimits) {
  // A red-orange pixel at several luminances. ColorSaturation 50: satBase 0.5.
  // SaturationHighlights 10 lifts s to 1 at and above logHi; SaturationShadows -10 lowers it
  // to 0 at and below logLo; in between the smooth steps from logMed.
  const Lum lum;
  const float ratio[3] = {1.0f, 0.5f, 0.2f};
  const double scales[] = {0.02, 0.06, 0.3, 1.5, 5.5, 20.0};
  std::vector<float> rgb, plane;
  for (double s : scales) {
    for (float r : ratio) rgb.push_back(static_cast<float>(s) * r);
    plane.push_back(0.6f);
  }
  auto p = default_param(0);
  p[1] = 100;
  p[2] = 50;
  p[13] = 10;
  p[14] = -10;
  const auto out = finish_floats(rgb, plane, p, lum);
  for (size_t i = 0; i < plane.size(); ++i) {
    const double Y = 0.2126 * rgb[3 * i] + 0.7152 * rgb[3 * i + 1] + 0.0722 * rgb[3 * i + 2];
    const double logY = std::log(Y);
    double s = 0.5;
    if (logY >= lum.hi) {
      s = 1.0;
    } else if (logY >= lum.med) {
      s = 0.5 + smoothstep(logY, lum.med, 0.0, lum.hi, 0.5);
    } else if (logY <= lum.lo) {
      s = 0.0;
    } else {
      s = 0.5 + smoothstep(logY, lum.lo, -0.5, lum.med, 0.0);
    }
    for (int c = 0; c < 3; ++c) {
      const double expected = 0.6 * std::pow(rgb[3 * i + c] / Y, s);
      EXPECT_NEAR(out[3 * i + c], sample16(expected), 4) << "px " << i << " ch " << c;
    }
  }
  // The extremes: grey at the darkest pixel, full colour at the brightest.
  EXPECT_EQ(out[0], out[2]);
  EXPECT_GT(out[15], out[17] * 3);
}

TEST(Stage3Pixels, ColorTemperatureOneMeansDaylightAt6240K) {
  // The white point of the CIE daylight locus at T, normalised by D65.
  const auto white = [](double t) {
    const double x = -4.607e9 / (t * t * t) + 2.9678e6 / (t * t) + 0.09911e3 / t + 0.244063;
    const double y = -3.0 * x * x + 2.87 * x - 0.275;
    return std::pair<double, double>{(x / y) / 0.950456, ((1 - x - y) / y) / 1.088754};
  };
  const double M[3][3] = {{3.2406, -1.5372, -0.4986}, {-0.9689, 1.8758, 0.0415}, {0.0557, -0.2040, 1.0570}};
  const Lum lum;
  const std::vector<float> rgb = {0.3f, 0.5f, 0.7f, 0.9f, 0.6f, 0.2f};
  const std::vector<float> plane = {0.5f, 0.5f};
  auto p = default_param(0);
  p[1] = 100;
  p[2] = 50;  // s = 0.5
  p[12] = 1;
  const auto out = finish_floats(rgb, plane, p, lum);
  const auto expect_for = [&](double kelvin, int px, int ch) {
    const auto [sx, sz] = white(kelvin);
    const double r = rgb[3 * px], g = rgb[3 * px + 1], b = rgb[3 * px + 2];
    const double Y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    const double X = sx * (0.4124 * r + 0.3576 * g + 0.1805 * b);
    const double Z = sz * (0.0193 * r + 0.1192 * g + 0.9505 * b);
    const double c = std::max(0.0, M[ch][0] * X + M[ch][1] * Y + M[ch][2] * Z);
    return sample16(0.5 * std::pow(c / Y, 0.5));
  };
  for (int px = 0; px < 2; ++px) {
    for (int ch = 0; ch < 3; ch += 2) {
      EXPECT_NEAR(out[3 * px + ch], expect_for(6240, px, ch), 4) << px << " " << ch;
      // A neighbouring temperature is distinguishable: the test does see the kelvin value.
      EXPECT_GT(std::abs(out[3 * px + ch] - expect_for(6500, px, ch)), 40) << px << " " << ch;
    }
  }
}

TEST(Stage3Pixels, HighlightsAndShadowsSmoothingBlendTowardsTheLinearSource) {
  // Kind 10: h = (c * smoothScale)^0.45 with smoothScale = 0.99749 / e^white. t = 1 for
  // HighlightsSmoothing 100 where lumH > L; t = 0.5 for ShadowsSmoothing 100 where lumH < L.
  const Lum lum;
  const std::vector<float> rgb = {40.0f, 40.0f, 40.0f, 0.001f, 0.001f, 0.001f};
  const std::vector<float> plane = {0.1f, 0.9f};
  auto p = default_param(0);
  p[1] = 100;
  p[9] = 100;
  p[10] = 100;
  const auto out = finish_floats(rgb, plane, p, lum);
  const double smoothScale = ((100.0 - 0.251) / 100.0) / std::exp(lum.white);
  const double hBright = std::pow(40.0 * smoothScale, 0.45);
  const double hDark = std::pow(0.001 * smoothScale, 0.45);
  ASSERT_GT(hBright, 0.1);
  ASSERT_LT(hDark, 0.9);
  EXPECT_NEAR(out[0], sample16(hBright), 3);
  EXPECT_NEAR(out[3], sample16(0.5 * 0.9 + 0.5 * hDark), 3);
}

// ---------------------------------------------------------------------------------------
// The entry point: bands, fallback, disk mode, checks

struct Image {
  int w, h;
  std::vector<std::uint8_t> rgbe;
  std::vector<float> plane;
};

Image random_image(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  Image im{w, h, std::vector<std::uint8_t>(4 * w * h), std::vector<float>(w * h)};
  for (int y = 0; y < h; ++y) {
    std::uint8_t *row = im.rgbe.data() + 4 * w * y;
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) row[c * w + x] = static_cast<std::uint8_t>(rng() % 256);
      row[3 * w + x] = rng() % 23 == 0 ? 0 : static_cast<std::uint8_t>(126 + rng() % 16);
      im.plane[y * w + x] = std::exp(static_cast<float>(rng() % 1000) / 250.0f - 2.0f);
    }
  }
  return im;
}

std::vector<float> busy_param() {
  auto p = default_param(0);
  p[2] = 62;
  p[4] = 1.5f;
  p[8] = 40;
  p[9] = 30;
  p[10] = 40;
  p[11] = 30;
  p[12] = -3;
  p[13] = 4;
  p[14] = -5;
  return p;
}

std::vector<std::uint8_t> run_rgbe(const Image &im, const std::vector<float> &p, int nWorkers, int bits = 8,
                                   int pad = 0, int *result = nullptr) {
  const Lum lum;
  const auto lp = lum.v();
  const auto table = exponent_table();
  const int stride = 3 * im.w + pad;
  std::vector<std::uint8_t> dst(static_cast<size_t>(stride) * im.h * (bits / 8), 0x5A);
  std::vector<float> plane = im.plane;
  const int r = calc_tm3(0, dims(im.w, im.h, 3, bits, 3 * im.w, stride), p.data(), lp.data(), table.data(), nullptr,
                         workers(nWorkers), im.rgbe.data(), plane.data(), dst.data());
  if (result != nullptr) {
    *result = r;
  } else {
    EXPECT_GT(r, 0);
  }
  return dst;
}

TEST(Stage3Bands, BandedOutputEqualsSingleThreadedForEveryWorkerCount) {
  const Image im = random_image(37, 23, 7);
  const auto p = busy_param();
  const auto single = run_rgbe(im, p, 1, 16, 5);
  for (int n : {2, 3, 7, 32, 40}) EXPECT_EQ(run_rgbe(im, p, n, 16, 5), single) << n << " workers";
  // Padding samples at the end of each destination row are never written.
  for (int y = 0; y < im.h; ++y) {
    for (int b = 2 * 3 * im.w; b < 2 * (3 * im.w + 5); ++b) EXPECT_EQ(single[2 * (3 * im.w + 5) * y + b], 0x5A);
  }
  // Every pixel is finite and was written: nothing left at the fill value in the picture.
  EXPECT_EQ(run_rgbe(im, p, 2, 8), run_rgbe(im, p, 1, 8));
}

TEST(Stage3Bands, SampleAndFloatSourcesBandTheSameWay) {
  std::mt19937 rng(3);
  const int w = 19, h = 11, spp = 4, stride = spp * w + 3;
  std::vector<std::uint16_t> s16(stride * h);
  std::vector<std::uint8_t> s8(stride * h);
  std::vector<float> sf(stride * h);
  for (size_t i = 0; i < s16.size(); ++i) {
    s16[i] = static_cast<std::uint16_t>(rng() % 65536);
    s8[i] = static_cast<std::uint8_t>(s16[i] >> 8);
    sf[i] = static_cast<float>(rng() % 10000) / 1000.0f - 0.5f;  // some negative samples
  }
  sf[5] = std::nanf("");
  sf[9] = INFINITY;
  std::vector<float> curve(65536), curve8(256);
  for (int i = 0; i < 65536; ++i) curve[i] = static_cast<float>(std::pow(i / 65535.0, 2.2) * 65535.0);
  for (int i = 0; i < 256; ++i) curve8[i] = static_cast<float>(std::pow(i / 255.0, 2.2) * 255.0);
  std::vector<float> plane(w * h);
  for (auto &v : plane) v = static_cast<float>(rng() % 977) / 100.0f;
  const Lum lum;
  const auto lp = lum.v();
  for (int kind : {1, 2, 10}) {
    const auto p = busy_param();
    std::vector<std::vector<std::uint8_t>> outs;
    for (int n : {1, 2, 5}) {
      std::vector<float> pl = plane;
      std::vector<std::uint8_t> dst(spp * w * h, 0x5A);
      const void *src = kind == 10  ? static_cast<const void *>(sf.data())
                        : kind == 1 ? static_cast<const void *>(s16.data())
                                    : static_cast<const void *>(s8.data());
      ASSERT_GT(calc_tm3(kind, dims(w, h, spp, 8, stride, spp * w), p.data(), lp.data(), nullptr,
                         kind == 2 ? curve8.data() : curve.data(), workers(n), src, pl.data(), dst.data()),
                0);
      outs.push_back(dst);
    }
    EXPECT_EQ(outs[1], outs[0]) << "kind " << kind;
    EXPECT_EQ(outs[2], outs[0]) << "kind " << kind;
    // Sample 2 of 4 is neither red ((spp-1)/2 = 1 is green) nor blue: untouched.
    for (int i = 0; i < w * h; ++i) EXPECT_EQ(outs[0][spp * i + 2], 0x5A);
  }
}

TEST(Stage3Bands, EightBitSamplesAreReadOneByteEachThroughTheir256EntryCurve) {
  // The samples and the curve both end right before an inaccessible page (the last row has
  // no padding): reading 16 bits per sample, a band at a 16-bit offset or a curve index
  // above 255 kills the test. The picture must equal that of the same samples widened by
  // 256 and read as 16-bit samples through the curve spread over 65,536 entries.
  std::mt19937 rng(11);
  const int w = 13, h = 9, spp = 3, stride = spp * w + 2;
  std::vector<std::uint8_t> s8(static_cast<size_t>(stride) * (h - 1) + spp * w);
  for (auto &v : s8) v = static_cast<std::uint8_t>(rng() % 256);
  s8[0] = 0;
  s8.back() = 255;
  std::vector<float> curve8(256), curve16(65536);
  for (int i = 0; i < 256; ++i) curve8[i] = static_cast<float>(std::pow(i / 255.0, 2.2) * 255.0) + 0.01f;
  for (int i = 0; i < 65536; ++i) curve16[i] = curve8[i >> 8];
  std::vector<std::uint16_t> s16(static_cast<size_t>(stride) * h);
  for (size_t i = 0; i < s8.size(); ++i) s16[i] = static_cast<std::uint16_t>(s8[i] << 8);
  const auto src = test::GuardedBuffer::copy_of(s8);
  const auto curve = test::GuardedBuffer::copy_of(curve8);
  std::vector<float> plane(w * h);
  for (auto &v : plane) v = static_cast<float>(rng() % 977) / 100.0f;
  const Lum lum;
  const auto lp = lum.v();
  const auto p = busy_param();
  const DimParam d = dims(w, h, spp, 16, stride, spp * w);
  for (int n : {1, 3}) {
    std::vector<float> pl8 = plane, pl16 = plane;
    std::vector<std::uint16_t> out8(spp * w * h), out16(spp * w * h);
    ASSERT_GT(calc_tm3(2, d, p.data(), lp.data(), nullptr, curve.as<float>(), workers(n), src.as<std::uint8_t>(),
                       pl8.data(), out8.data()),
              0);
    ASSERT_GT(
        calc_tm3(1, d, p.data(), lp.data(), nullptr, curve16.data(), workers(n), s16.data(), pl16.data(), out16.data()),
        0);
    EXPECT_EQ(out8, out16) << n << " workers";
  }
}

TEST(Stage3Bands, AThreadThatCannotBeCreatedIsReportedWithThePictureCompleted) {
  const Image im = random_image(29, 17, 11);
  const auto p = busy_param();
  const auto single = run_rgbe(im, p, 1);
  for (int failAt : {0, 1, 2}) {
    testing::fail_thread_creation_at(failAt);
    int result = 0;
    EXPECT_EQ(run_rgbe(im, p, 3, 8, 0, &result), single) << failAt;
    EXPECT_EQ(result, kErrShortIo) << failAt;
    EXPECT_EQ(testing::live_workers(), 0);
  }
  testing::fail_thread_creation_at(-1);
}

std::string temp_path(const char *name) {
  return (std::string("/tmp/stage3_test_") + std::to_string(::getpid()) + "_") + name;
}

bool exists(const std::string &path) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

void write_file(const std::string &path, const std::uint8_t *data, size_t n) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(data, 1, n, f), n);
  std::fclose(f);
}

TEST(Stage3Disk, DiskModeEqualsMemoryModeAndDeletesItsSource) {
  const Image im = random_image(21, 13, 5);
  const auto p = busy_param();
  const Lum lum;
  const auto lp = lum.v();
  const auto table = exponent_table();
  for (int spp : {3, 2}) {
    const int stride = spp * im.w;
    const DimParam d = dims(im.w, im.h, spp, 16, stride, stride);
    std::vector<float> pl = im.plane;
    std::vector<std::uint16_t> memory(stride * im.h, 0);
    ASSERT_GT(calc_tm3(0, d, p.data(), lp.data(), table.data(), nullptr, workers(2), im.rgbe.data(), pl.data(),
                       memory.data()),
              0);

    const std::string path = temp_path("rows.raw");
    write_file(path, im.rgbe.data(), im.rgbe.size());
    // The plane sits in the tail of the destination.
    std::vector<std::uint16_t> disk(stride * im.h, 0);
    const size_t offset = static_cast<size_t>(im.h) * (stride - 2 * im.w) * 2;
    std::memcpy(reinterpret_cast<std::uint8_t *>(disk.data()) + offset, im.plane.data(), 4 * im.plane.size());
    OptimParam o = workers(2, 1);
    o.v[2] = reinterpret_cast<std::intptr_t>(path.c_str());
    EXPECT_EQ(calc_tm3(0, d, p.data(), lp.data(), table.data(), nullptr, o, nullptr, nullptr, disk.data()), im.h);
    EXPECT_FALSE(exists(path));
    // Every sample of these layouts is a colour sample, so the plane's bytes are all overwritten.
    EXPECT_EQ(disk, memory) << "spp " << spp;
  }
}

TEST(Stage3Disk, FileFailuresReportTheirCodesAndKeepTheFile) {
  const Image im = random_image(12, 10, 9);
  const auto p = default_param(0);
  const Lum lum;
  const auto lp = lum.v();
  const auto table = exponent_table();
  const DimParam d = dims(im.w, im.h, 3, 16, 3 * im.w, 3 * im.w);
  std::vector<std::uint16_t> dst(3 * im.w * im.h, 0);
  std::memcpy(reinterpret_cast<std::uint8_t *>(dst.data()) + im.h * im.w * 2, im.plane.data(), 4 * im.plane.size());
  OptimParam o = workers(1, 1);

  const std::string missing = temp_path("missing.raw");
  o.v[2] = reinterpret_cast<std::intptr_t>(missing.c_str());
  EXPECT_EQ(calc_tm3(0, d, p.data(), lp.data(), table.data(), nullptr, o, nullptr, nullptr, dst.data()), kErrOpen);
  // Disk mode reads RGBE rows only.
  EXPECT_EQ(calc_tm3(10, d, p.data(), lp.data(), table.data(), nullptr, o, nullptr, nullptr, dst.data()), kErrOpen);

  const std::string shortFile = temp_path("short.raw");
  write_file(shortFile, im.rgbe.data(), im.rgbe.size() - 5);
  o.v[2] = reinterpret_cast<std::intptr_t>(shortFile.c_str());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(calc_tm3(0, d, p.data(), lp.data(), table.data(), nullptr, o, nullptr, nullptr, dst.data()), kErrShortIo);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "tm3 could not read from input file at 9\n");
  EXPECT_TRUE(exists(shortFile));
  std::remove(shortFile.c_str());

  // A file longer than the raw rows (say, the Radiance picture itself) is not ours to read or delete.
  const std::string longFile = temp_path("long.raw");
  std::vector<std::uint8_t> longer = im.rgbe;
  longer.resize(longer.size() + 100, 7);
  write_file(longFile, longer.data(), longer.size());
  o.v[2] = reinterpret_cast<std::intptr_t>(longFile.c_str());
  EXPECT_EQ(calc_tm3(0, d, p.data(), lp.data(), table.data(), nullptr, o, nullptr, nullptr, dst.data()), kErrDims);
  EXPECT_TRUE(exists(longFile));
  std::remove(longFile.c_str());

  // A destination too narrow to hold the plane in its tail.
  EXPECT_EQ(calc_tm3(0, dims(im.w, im.h, 1, 16, im.w, im.w), p.data(), lp.data(), table.data(), nullptr, o, nullptr,
                     nullptr, dst.data()),
            kErrDims);
}

TEST(Stage3Checks, UnusableSizesAndBuffersAreRefusedBeforeAnyWrite) {
  const auto p = default_param(0);
  const Lum lum;
  const auto lp = lum.v();
  const auto table = exponent_table();
  std::vector<std::uint8_t> src(4 * 16, 130), dst(3 * 16, 0xAB);
  std::vector<float> plane(16, 1.0f);
  const auto call = [&](int kind, DimParam d, const float *curve = nullptr) {
    return calc_tm3(kind, d, p.data(), lp.data(), table.data(), curve, workers(2), src.data(), plane.data(),
                    dst.data());
  };
  EXPECT_EQ(call(0, dims(0, 4, 3, 8, 12, 12)), kErrDims);
  EXPECT_EQ(call(0, dims(4, 4, 3, 12, 12, 12)), kErrDims);  // 12-bit output
  EXPECT_EQ(call(0, dims(4, 4, 3, 8, 12, 11)), kErrDims);   // destination rows overlap
  EXPECT_EQ(call(1, dims(4, 4, 3, 8, 12, 12)), kErrDims);   // 16-bit source without a curve
  EXPECT_EQ(call(10, dims(4, 4, 3, 8, 11, 12)), kErrDims);  // source rows overlap
  EXPECT_EQ(call(5, dims(4, 4, 3, 8, 12, 12)), kErrDims);   // unknown kind
  EXPECT_EQ(call(0, dims(1 << 30, 1 << 30, 3, 16, 3 << 30, 3 << 30)), kErrDims);
  for (auto b : dst) EXPECT_EQ(b, 0xAB);
  for (float v : plane) EXPECT_EQ(v, 1.0f);
}

TEST(Stage3Checks, HostileSliderValuesAndStatisticsStillFinishEveryRow) {
  // Settings files can carry any float, and the statistics of a black picture are zeros: every
  // row must still be finished (slider values that pick an integer, the kelvin and the
  // smoothing saturation step, saturate instead of overflowing).
  const Image im = random_image(16, 9, 21);
  const auto table = exponent_table();
  const float extremes[] = {1e30f, -1e30f, INFINITY, -INFINITY, std::nanf(""), 1000.0f, -1000.0f};
  const std::vector<float> lumSets[] = {{0, 0, 0, 0, 0, 0, 0}, {-1, -5, -2, NAN, 3, -3, 1e30f}, Lum().v()};
  for (const auto &lp : lumSets) {
    for (float v : extremes) {
      for (int slot : {1, 2, 3, 4, 8, 9, 10, 11, 12, 13, 14}) {
        auto p = busy_param();
        p[slot] = v;
        std::vector<float> plane = im.plane;
        std::vector<std::uint8_t> dst(3 * im.w * im.h, 0xAB);
        ASSERT_EQ(calc_tm3(0, dims(im.w, im.h, 3, 8, 0, 3 * im.w), p.data(), lp.data(), table.data(), nullptr,
                           workers(1), im.rgbe.data(), plane.data(), dst.data()),
                  im.h)
            << "slot " << slot << " value " << v;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Plane resampling

TEST(Stage3Resample, BilinearInsideCopiedEdgesAndNoReadOutsideWhenEnlarging) {
  // 3 x 2 source enlarged to 7 x 5: sizes exact so that AddressSanitizer sees any stray read.
  const std::vector<float> src = {1, 2, 4, 10, 20, 40};
  std::vector<float> dst(7 * 5, -1.0f);
  ASSERT_EQ(tm300(3, 2, 7, 5, src.data(), dst.data()), 35);
  const float rx = 3.0f / 7.0f, ry = 2.0f / 5.0f;
  const auto P = [&](int x, int y) { return src[std::min(y, 1) * 3 + std::min(x, 2)]; };
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 6; ++x) {
      const float sx = rx * x, sy = ry * y;
      const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
      const double fx = sx - ix, fy = sy - iy;
      const double v = (1 - fx) * (1 - fy) * P(ix, iy) + fx * (1 - fy) * P(ix + 1, iy) + (1 - fx) * fy * P(ix, iy + 1) +
                       fx * fy * P(ix + 1, iy + 1);
      EXPECT_NEAR(dst[y * 7 + x], v, 1e-5) << x << "," << y;
    }
    EXPECT_EQ(dst[y * 7 + 6], dst[y * 7 + 5]);
  }
  for (int x = 0; x < 7; ++x) EXPECT_EQ(dst[4 * 7 + x], dst[3 * 7 + x]);

  // Shrinking 4 x 4 to 2 x 2: only (0,0) is interpolated, the rest are copies.
  const std::vector<float> big = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<float> small(4);
  ASSERT_EQ(tm300(4, 4, 2, 2, big.data(), small.data()), 4);
  EXPECT_EQ(small, (std::vector<float>{1, 1, 1, 1}));

  // One destination pixel: the source's first value, no neighbour to copy from.
  float one = -1;
  ASSERT_EQ(tm300(3, 2, 1, 1, src.data(), &one), 1);
  EXPECT_EQ(one, 1.0f);
  EXPECT_EQ(tm300(0, 2, 1, 1, src.data(), &one), kErrDims);
}

}  // namespace
}  // namespace tmlib
