// SPDX-License-Identifier: MIT
// The whole Details Enhancer on a real picture, run as the dialog's preview runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "details_pipeline.h"
#include "tmlib/params.h"

namespace {

using brightloom_test::cut_rgbe_preview;
using brightloom_test::DetailsCarry;
using brightloom_test::load_radiance;
using brightloom_test::run_details_enhancer;

struct Source {
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgbe;
};

// The sunset panorama cut down to 256 x 128, decoded once for all tests.
const Source &sunset() {
  static const Source s = [] {
    Source full;
    const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/sunset-pfstools.hdr";
    EXPECT_EQ(load_radiance(path.c_str(), full.w, full.h, full.rgbe), 0) << "cannot read " << path;
    Source small;
    small.w = 256;
    small.h = 128;
    EXPECT_EQ(cut_rgbe_preview(full.w, full.h, full.rgbe, small.w, small.h, small.rgbe), small.h);
    return small;
  }();
  return s;
}

std::vector<float> defaults() {
  std::vector<float> p(20);
  tmparam_default(1, 0, p.data());
  return p;
}

struct Stats {
  double mean = 0;
  int black = 0, white = 0, distinct = 0;
};

Stats stats_of(const std::vector<std::uint8_t> &px) {
  Stats s;
  std::vector<int> seen(256, 0);
  for (auto v : px) {
    s.mean += v;
    s.black += v == 0;
    s.white += v == 255;
    seen[v] = 1;
  }
  s.mean /= static_cast<double>(px.size());
  for (int v : seen) s.distinct += v;
  return s;
}

TEST(DetailsEndToEnd, RealSunsetGivesAnOrdinaryPictureAtDefaults) {
  const Source &src = sunset();
  ASSERT_EQ(src.rgbe.size(), 4u * 256 * 128);
  std::vector<std::uint8_t> out;
  DetailsCarry carry;
  const auto p = defaults();
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 2, out, &carry), 0);
  ASSERT_EQ(out.size(), 3u * 256 * 128);
  // Statistics of stage 1 came back for the next refresh.
  EXPECT_GT(carry.lwa, 0.0f);
  EXPECT_GT(carry.lwmax, 1.0f);
  // A tone-mapped picture: neither black nor white over large parts, many tones (a NaN
  // anywhere in the chain would collapse pixels to 0 or spread saturated garbage).
  const Stats s = stats_of(out);
  EXPECT_GT(s.mean, 30.0);
  EXPECT_LT(s.mean, 220.0);
  EXPECT_LT(s.black, static_cast<int>(out.size() / 10));
  EXPECT_LT(s.white, static_cast<int>(out.size() / 10));
  EXPECT_GT(s.distinct, 150);
  // Neighbouring rows are alike: no row of noise or a band left unwritten.
  const int row = 3 * src.w;
  int wildRows = 0;
  for (int y = 1; y < src.h; ++y) {
    double diff = 0;
    for (int i = 0; i < row; ++i) diff += std::abs(out[y * row + i] - out[(y - 1) * row + i]);
    wildRows += diff / row > 40.0;
  }
  EXPECT_EQ(wildRows, 0);
}

TEST(DetailsEndToEnd, SmallSizesRenderLikeSlightlyLargerOnes) {
  // Below about 180 x 90 the pyramid has a single solver level; the picture must still be the
  // same kind of rendering as at 200 x 100 (not an edge map of the right-hand side).
  const std::string path = std::string(BRIGHTLOOM_TEST_DATA) + "/sunset-pfstools.hdr";
  Source full;
  ASSERT_EQ(load_radiance(path.c_str(), full.w, full.h, full.rgbe), 0) << "cannot read " << path;
  const auto p = defaults();
  double means[3] = {};
  const int sizes[3][2] = {{171, 86}, {120, 60}, {200, 100}};
  for (int i = 0; i < 3; ++i) {
    const int w = sizes[i][0], h = sizes[i][1];
    std::vector<std::uint8_t> small, out;
    ASSERT_EQ(cut_rgbe_preview(full.w, full.h, full.rgbe, w, h, small), h);
    ASSERT_GT(run_details_enhancer(w, h, small.data(), p.data(), 2, out), 0) << w << "x" << h;
    means[i] = stats_of(out).mean;
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_GT(means[i], means[2] / 1.5) << sizes[i][0] << "x" << sizes[i][1];
    EXPECT_LT(means[i], means[2] * 1.5) << sizes[i][0] << "x" << sizes[i][1];
  }
}

TEST(DetailsEndToEnd, DeterministicAcrossRunsAndWorkerCounts) {
  const Source &src = sunset();
  const auto p = defaults();
  std::vector<std::uint8_t> first, again, single, many;
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 2, first), 0);
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 2, again), 0);
  EXPECT_EQ(first, again);
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 1, single), 0);
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 5, many), 0);
  // The solver's partial sums are taken per worker, so different counts may round apart by
  // a few levels at most; the pictures must agree closely.
  for (const auto *other : {&single, &many}) {
    int maxDiff = 0;
    for (size_t i = 0; i < first.size(); ++i) maxDiff = std::max(maxDiff, std::abs(first[i] - (*other)[i]));
    EXPECT_LE(maxDiff, 3);
  }
}

TEST(DetailsEndToEnd, SliderExtremesAndThePanoramaFlagStayOrdinary) {
  const Source &src = sunset();
  struct Variant {
    const char *name;
    int slot;
    float value;
  } variants[] = {{"Strength 100", 1, 100},
                  {"smoothing levels", 16, 0},
                  {"360 degrees", 15, 1},
                  {"shadows clipping", 11, 60},
                  {"highlights smoothing", 9, 80}};
  std::vector<std::uint8_t> base;
  const auto p0 = defaults();
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p0.data(), 2, base), 0);
  for (const auto &v : variants) {
    auto p = defaults();
    p[v.slot] = v.value;
    std::vector<std::uint8_t> out;
    ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 2, out), 0) << v.name;
    const Stats s = stats_of(out);
    EXPECT_GT(s.mean, 20.0) << v.name;
    EXPECT_LT(s.mean, 235.0) << v.name;
    EXPECT_GT(s.distinct, 100) << v.name;
    EXPECT_NE(out, base) << v.name << " changed nothing";
  }
}

TEST(DetailsEndToEnd, BlackSourcePixelsStayBlackWithoutDisturbingTheRest) {
  // Pixels of exponent 0 (what the encoder makes of negative or NaN samples) enter neither the
  // statistics nor the solve as garbage: they come out black, and the picture around them is
  // the ordinary one.
  const Source &src = sunset();
  Source holed = src;
  const int x0 = 100, y0 = 70, bw = 24, bh = 12;
  for (int y = y0; y < y0 + bh; ++y) {
    for (int c = 0; c < 4; ++c) {
      for (int x = x0; x < x0 + bw; ++x) holed.rgbe[4 * src.w * y + c * src.w + x] = 0;
    }
  }
  const auto p = defaults();
  std::vector<std::uint8_t> plain, out;
  ASSERT_GT(run_details_enhancer(src.w, src.h, src.rgbe.data(), p.data(), 2, plain), 0);
  ASSERT_GT(run_details_enhancer(holed.w, holed.h, holed.rgbe.data(), p.data(), 2, out), 0);
  double far = 0, farPlain = 0;
  int n = 0;
  for (int y = 0; y < src.h; ++y) {
    for (int x = 0; x < src.w; ++x) {
      const bool inside = x >= x0 && x < x0 + bw && y >= y0 && y < y0 + bh;
      for (int c = 0; c < 3; ++c) {
        const size_t i = 3 * (static_cast<size_t>(y) * src.w + x) + c;
        if (inside) {
          ASSERT_EQ(out[i], 0) << x << "," << y;
        } else if (std::abs(x - x0) > 40 && std::abs(y - y0) > 30) {
          far += out[i];
          farPlain += plain[i];
          ++n;
        }
      }
    }
  }
  EXPECT_NEAR(far / n, farPlain / n, 0.1 * farPlain / n);
}

}  // namespace
