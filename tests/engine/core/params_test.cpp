// SPDX-License-Identifier: MIT
#include "tmlib/params.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Exponent of the "Details Enhancer" clip sliders: position 30 is the default 0.25 %.
const double kDetailsPower = std::log(0.025) / std::log(0.3);

std::array<float, 20> filled_record(float v) {
  std::array<float, 20> r;
  r.fill(v);
  return r;
}

TEST(TmParamDefault, DetailsEnhancerStrengthDependsOnDocumentKind) {
  for (int docType : {0, -1, 1, 2}) {
    auto rec = filled_record(-7.0f);
    tmparam_default(TMLIB_METHOD_DETAILS, docType, rec.data());
    const std::array<float, 20> expected{
        0, docType > 0 ? 40.0f : 70.0f, 46, 0.25f, 0, 1, 0, 2, 50, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(rec, expected) << "docType " << docType;
  }
}

TEST(TmParamDefault, OtherMethodsAreZeroExceptFusionRadius) {
  for (int method : {int{TMLIB_METHOD_COMPRESSOR}, int{TMLIB_METHOD_FUSION_ADJUST}, 7, 0, -3}) {
    auto rec = filled_record(3.0f);
    tmparam_default(method, 0, rec.data());
    EXPECT_EQ(rec, filled_record(0.0f)) << "method " << method;
  }
  auto rec = filled_record(3.0f);
  tmparam_default(TMLIB_METHOD_FUSION_INTENSIVE, 1, rec.data());
  auto expected = filled_record(0.0f);
  expected[2] = 40.0f;
  EXPECT_EQ(rec, expected);
  tmparam_default(TMLIB_METHOD_DETAILS, 0, nullptr);  // ignored, must not crash
}

TEST(SliderScales, EndsOfTheClipScale) {
  for (double exponent : {0.2, 1.0, kDetailsPower, 1.0 / kDetailsPower, 7.5}) {
    EXPECT_EQ(slider2param(0, exponent), 0);
    EXPECT_EQ(slider2param(100, exponent), 200000);
    EXPECT_EQ(paramf2slider(10.0, exponent), 100);
    EXPECT_EQ(paramf2slider(0.0, exponent), 0);
    EXPECT_EQ(param2slider(200000.0, exponent), 100);
  }
}

TEST(SliderScales, DetailsClipDefaultRoundTrips) {
  // (0.3)^p * 200000 is a hair above 5000, so it truncates to 5000 and stays there.
  EXPECT_EQ(slider2param(30, kDetailsPower), 5000);
  EXPECT_FLOAT_EQ(static_cast<float>(static_cast<double>(static_cast<float>(5000)) * 0.00005), 0.25f);
  // (0.025)^(1/p) * 100 is a hair below 30: truncation gives 29, the fraction is above 0.5.
  EXPECT_EQ(paramf2slider(0.25, 1.0 / kDetailsPower), 30);
  EXPECT_EQ(param2slider(5000.0, 1.0 / kDetailsPower), 30);
  // The Tone Compressor scale is linear: position p is p / 10 percent.
  for (int p = 0; p <= 100; ++p) {
    EXPECT_EQ(slider2param(p, 1.0), p * 2000);
    EXPECT_EQ(paramf2slider(p / 10.0, 1.0), p);
  }
}

TEST(SliderScales, HalfIsRoundedDown) {
  EXPECT_EQ(paramf2slider(0.125, 1.0), 1);  // 1.25
  EXPECT_EQ(paramf2slider(0.135, 1.0), 1);  // 1.35
  EXPECT_EQ(paramf2slider(0.16, 1.0), 2);   // 1.6
  EXPECT_EQ(paramf2slider(1.25, 1.0), 12);  // 12.5 exactly: down
  EXPECT_EQ(paramf2slider(1.2500001, 1.0), 13);
  EXPECT_EQ(slider2param(25, 1.0), 50000);
  EXPECT_EQ(param2slider(25000.0, 1.0), 12);  // 12.5 exactly: down
  EXPECT_EQ(param2slider(25001.0, 1.0), 13);
}

TEST(SliderScales, HostileValuesGiveDefinedResults) {
  // A negative base under a fractional exponent is NaN; huge values saturate.
  EXPECT_EQ(paramf2slider(-1.0, 0.5), 0);
  EXPECT_EQ(slider2param(-50, 0.5), 0);
  EXPECT_EQ(paramf2slider(std::numeric_limits<double>::quiet_NaN(), 1.0), 0);
  EXPECT_EQ(paramf2slider(1e300, 1.0), INT_MAX);
  EXPECT_EQ(param2slider(-1e300, 1.0), INT_MIN);
  EXPECT_EQ(slider2param(INT_MAX, 2.0), INT_MAX);
}

TEST(ParamRecords, DefaultsOfTheOperatorRecords) {
  DimParam dim;
  for (auto &v : dim.v) v = -1;
  init_dim_param(&dim);
  const int32_t expected[8] = {0, 0, 3, 8, 8, 0, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(dim.v[i], expected[i]) << "field " << i;

  OptimParam opt;
  for (auto &v : opt.v) v = -1;
  init_optim_param(&opt);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(opt.v[i], 0) << "field " << i;

  // Paths travel in the pointer-wide fields without losing bits.
  static_assert(sizeof(opt.v[0]) == sizeof(const char *));
  const char *path = "/tmp/rhs.bin";
  opt.v[3] = reinterpret_cast<intptr_t>(path);
  EXPECT_EQ(reinterpret_cast<const char *>(opt.v[3]), path);
}

}  // namespace
