// SPDX-License-Identifier: MIT
#include "tmlib/colour.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The daylight locus' x chromaticity by one of its two polynomials, with the powers of t
// in single precision and the sum in double.
float locus_x(int kelvin, bool warm) {
  const float t = static_cast<float>(kelvin);
  const float t2 = t * t;
  const float t3 = t2 * t;
  const double sum = warm ? -4.607e9 / t3 + 2.9678e6 / t2 + 0.09911e3 / t + 0.244063
                          : -2.0064e9 / t3 + 1.9018e6 / t2 + 0.24748e3 / t + 0.23704;
  return static_cast<float>(sum);
}

float locus_X(float x) {
  const float y = static_cast<float>(-3.0 * (x * x) + 2.87 * x - 0.275);
  return x / y;
}

TEST(Kelvin, DaylightAt6500IsCloseToD65) {
  float xyz[3] = {};
  kelvin2XYZ(6500, xyz);
  EXPECT_EQ(xyz[1], 1.0f);
  EXPECT_NEAR(xyz[0] / 0.950456f, 1.0f, 0.002f);
  EXPECT_NEAR(xyz[2] / 1.088754f, 1.0f, 0.002f);
  // Lower temperatures are warmer: relatively less blue (Z), more red (X).
  float warm[3] = {};
  kelvin2XYZ(4000, warm);
  EXPECT_GT(warm[0], xyz[0]);
  EXPECT_LT(warm[2], xyz[2]);
}

TEST(Kelvin, SevenThousandIsTheLastTemperatureOfTheWarmPolynomial) {
  // The two polynomials meet near 7000 K but differ in the last bits; make sure they do,
  // or this test could not tell them apart.
  ASSERT_NE(locus_X(locus_x(7000, true)), locus_X(locus_x(7000, false)));
  ASSERT_NE(locus_X(locus_x(7001, true)), locus_X(locus_x(7001, false)));
  float xyz[3] = {};
  kelvin2XYZ(7000, xyz);
  EXPECT_EQ(xyz[0], locus_X(locus_x(7000, true)));
  kelvin2XYZ(7001, xyz);
  EXPECT_EQ(xyz[0], locus_X(locus_x(7001, false)));
}

TEST(Matrices, AreInversesAndCarryTheLuminanceWeights) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      double p = 0;
      for (int k = 0; k < 3; ++k) p += double(xyz2rgb_sRGB[i][k]) * rgb2xyz_sRGB[k][j];
      EXPECT_NEAR(p, i == j ? 1.0 : 0.0, 1e-3) << i << "," << j;
    }
  }
  EXPECT_EQ(rgb2xyz_sRGB[1][0], 0.2126f);
  EXPECT_EQ(rgb2xyz_sRGB[1][1], 0.7152f);
  EXPECT_EQ(rgb2xyz_sRGB[1][2], 0.0722f);
  // D65 white is what linear RGB white maps to.
  EXPECT_NEAR(rgb2xyz_sRGB[0][0] + rgb2xyz_sRGB[0][1] + rgb2xyz_sRGB[0][2], 0.950456, 1e-3);
  EXPECT_NEAR(rgb2xyz_sRGB[2][0] + rgb2xyz_sRGB[2][1] + rgb2xyz_sRGB[2][2], 1.088754, 1e-3);
}

struct HslCase {
  float rgb[3];
  float hsl[3];
};

TEST(Hsl, KnownColours) {
  const HslCase cases[] = {
      {{1, 0, 0}, {0, 1, 0.5f}},
      {{0.5f, 0.5f, 0.5f}, {0, 0, 0.5f}},
      {{0, 0, 1}, {2.0f / 3, 1, 0.5f}},
      {{0, 1, 0}, {1.0f / 3, 1, 0.5f}},
      {{1, 1, 0}, {1.0f / 6, 1, 0.5f}},  // red and green tie: red wins
      {{0, 1, 1}, {0.5f, 1, 0.5f}},      // green and blue tie: green wins
      {{1, 0, 1}, {5.0f / 6, 1, 0.5f}},  // negative hue wraps around
      {{0.2f, 0.1f, 0.1f}, {0, 1.0f / 3, 0.15f}},
      {{1, 0.8f, 0.8f}, {0, 1, 0.9f}},  // light colours use 2 - max - min
  };
  for (const HslCase &c : cases) {
    float hsl[3] = {-1, -1, -1};
    EXPECT_EQ(rgb_to_hsl(c.rgb, hsl), 1);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(hsl[i], c.hsl[i], 1e-6) << c.rgb[0] << c.rgb[1] << c.rgb[2] << " " << i;
    float back[3] = {-1, -1, -1};
    EXPECT_EQ(hsl_to_rgb(c.hsl, back), 1);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], c.rgb[i], 1e-6) << i;
  }
  float grey[3];
  const float hslGrey[3] = {0.7f, 0, 0.3f};
  hsl_to_rgb(hslGrey, grey);
  EXPECT_EQ(grey[0], 0.3f);
  EXPECT_EQ(grey[1], 0.3f);
  EXPECT_EQ(grey[2], 0.3f);
}

TEST(Hsl, RoundTripOverTheUnitCube) {
  for (int r = 0; r <= 10; ++r) {
    for (int g = 0; g <= 10; ++g) {
      for (int b = 0; b <= 10; ++b) {
        const float rgb[3] = {r / 10.0f, g / 10.0f, b / 10.0f};
        float hsl[3], back[3];
        rgb_to_hsl(rgb, hsl);
        ASSERT_GE(hsl[0], 0.0f);
        ASSERT_LE(hsl[0], 1.0f);
        ASSERT_GE(hsl[1], 0.0f);
        ASSERT_LE(hsl[1], 1.0f);
        hsl_to_rgb(hsl, back);
        for (int i = 0; i < 3; ++i) ASSERT_NEAR(back[i], rgb[i], 2e-6) << r << g << b;
      }
    }
  }
}

TEST(Hsl, ScaledVariants) {
  const float red[3] = {255, 0, 0};
  float hsl[3] = {9, 9, 9};
  rgb2hsl(255.0f, red, hsl);
  EXPECT_NEAR(hsl[0], 0.0f, 1e-7);
  EXPECT_NEAR(hsl[1], 1.0f, 1e-7);
  EXPECT_NEAR(hsl[2], 0.5f, 1e-7);
  // A scale below 1 is no output maximum: the output is left as it was.
  float untouched[3] = {9, 8, 7};
  rgb2hsl(0.5f, red, untouched);
  EXPECT_EQ(untouched[0], 9);
  EXPECT_EQ(untouched[1], 8);
  EXPECT_EQ(untouched[2], 7);

  const float blueHsl[3] = {2.0f / 3, 1, 0.5f};
  float blue[3];
  hsl2rgb(255.0f, blueHsl, blue);
  EXPECT_NEAR(blue[0], 0.0f, 1e-3);
  EXPECT_NEAR(blue[1], 0.0f, 1e-3);
  EXPECT_NEAR(blue[2], 255.0f, 1e-3);

  const float c16[3] = {40000, 20000, 10000};
  float h16[3], back16[3];
  rgb2hsl(65535.0f, c16, h16);
  hsl2rgb(65535.0f, h16, back16);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back16[i], c16[i], 0.05f);
}

TEST(Hsl, HueStepsAgreeAndFollowTheFourPieces) {
  const double p = 0.2, q = 0.9;
  for (int i = -20; i <= 140; ++i) {
    const double t = i / 120.0;
    EXPECT_EQ(hue_to_rgb(p, q, t), hue2rgb(p, q, t)) << t;
  }
  EXPECT_DOUBLE_EQ(hue_to_rgb(p, q, 0.1), p + (q - p) * 0.6);    // rising
  EXPECT_DOUBLE_EQ(hue_to_rgb(p, q, 0.3), q);                    // plateau
  EXPECT_NEAR(hue_to_rgb(p, q, 0.6), p + (q - p) * 0.4, 1e-12);  // falling
  EXPECT_DOUBLE_EQ(hue_to_rgb(p, q, 0.9), p);                    // floor
}

}  // namespace
