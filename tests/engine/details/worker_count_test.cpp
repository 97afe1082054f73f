// SPDX-License-Identifier: MIT
// The per-pixel and per-row maps that run on the workers give the same bits whatever their
// number: the log luminance and its statistics, the Gaussian reduction, the finishing stage's
// normalisation, and stage 1 as a whole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "details/pyramid.h"
#include "core/status.h"
#include "details/stage3.h"
#include "io/rgbe_pixel.h"
#include "tmlib/tmlib.h"

namespace {

using namespace tmlib;

constexpr int kCounts[] = {2, 3, 7};

template <typename T>
bool same_bits(const std::vector<T> &a, const std::vector<T> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// RGBE rows of a scene over many stops, with black (E = 0) and zero-mantissa pixels.
std::vector<uint8_t> rgbe_rows(int w, int h, uint32_t seed) {
  std::vector<uint8_t> px(size_t(4) * w * h);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> stops(-12.0f, 12.0f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float l = std::exp2(stops(rng));
      RgbePixel p = rgbe_encode(l, l * 0.8f, l * 1.3f);
      if ((x * 7 + y) % 53 == 0) p.e = 0;
      if ((x + y * 3) % 61 == 0) p.r = p.g = p.b = 0;
      uint8_t *row = px.data() + size_t(4) * w * y;
      row[x] = p.r;
      row[w + x] = p.g;
      row[2 * w + x] = p.b;
      row[3 * w + x] = p.e;
    }
  return px;
}

TEST(WorkerCounts, LogLuminanceAndItsStatistics) {
  const int w = 157, h = 83, w0 = 160, h0 = 88;
  float table[256];
  exp_lut(table, -8);
  const std::vector<uint8_t> rgbe = rgbe_rows(w, h, 5);
  std::vector<uint16_t> samples(size_t(3) * w * h);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint16_t((i * 2654435761u) >> 16);
  std::vector<float> curve(65536);
  for (int i = 0; i < 65536; ++i) curve[i] = float(i) * 0.75f;
  for (int docType : {0, 1}) {
    const void *src = docType == 0 ? static_cast<const void *>(rgbe.data()) : samples.data();
    std::vector<float> one(size_t(w0) * h0), lumOne(7, -1.0f);
    ASSERT_EQ(calc_tm0(docType, 3, w, h, 0, w, h, w0, h0, lumOne.data(), table, curve.data(), src, one.data()), h);
    for (int workers : kCounts) {
      std::vector<float> many(size_t(w0) * h0), lumMany(7, -1.0f);
      ASSERT_EQ(stage1::log_luminance(workers, docType, 3, w, h, 0, w, h, w0, h0, lumMany.data(), table, curve.data(),
                                      src, many.data()),
                h);
      EXPECT_TRUE(same_bits(one, many)) << "docType " << docType << ", " << workers << " workers";
      EXPECT_TRUE(same_bits(lumOne, lumMany)) << "docType " << docType << ", " << workers << " workers";
    }
  }
}

TEST(WorkerCounts, GaussianReduction) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> v(-5.0f, 5.0f);
  for (const auto &[wf, hf] : {std::pair{101, 77}, std::pair{96, 64}}) {
    std::vector<float> fine(size_t(wf) * hf);
    for (float &f : fine) f = v(rng);
    const size_t coarseCells = size_t((wf + 1) / 2) * ((hf + 1) / 2);
    for (bool is360 : {false, true}) {
      std::vector<float> one(coarseCells);
      stage1::gaussian_reduce(fine.data(), wf, hf, one.data(), is360);
      for (int workers : kCounts) {
        std::vector<float> many(coarseCells);
        stage1::gaussian_reduce(workers, fine.data(), wf, hf, many.data(), is360);
        EXPECT_TRUE(same_bits(one, many)) << wf << "x" << hf << " is360 " << is360 << ", " << workers << " workers";
      }
    }
  }
}

TEST(WorkerCounts, GradientMagnitudesAndTheirSum) {
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> v(-3.0f, 3.0f);
  const int w = 123, h = 71;
  std::vector<float> level(size_t(w) * h);
  for (float &f : level) f = v(rng);
  level[500] = 400.0f;  // a component beyond the noise limit
  std::vector<float> rowA(w), rowB(w);
  for (bool is360 : {false, true}) {
    std::vector<float> one = level;
    const double sumOne = stage1::gradient_level(one.data(), w, h, 0.5f, is360, rowA.data(), rowB.data());
    for (int workers : kCounts) {
      std::vector<float> many = level;
      const double sumMany = stage1::gradient_level(workers, many.data(), w, h, 0.5f, is360, rowA.data(), rowB.data());
      EXPECT_TRUE(same_bits(one, many)) << "is360 " << is360 << ", " << workers << " workers";
      EXPECT_EQ(std::memcmp(&sumOne, &sumMany, sizeof sumOne), 0) << workers << " workers";
    }
  }
}

TEST(WorkerCounts, Divergence) {
  std::mt19937 rng(33);
  std::uniform_real_distribution<float> v(0.1f, 2.0f);
  const int w = 97, h = 59;
  std::vector<float> phi(size_t(w) * h), H(size_t(w) * h), rowA(w), rowB(w);
  for (float &f : phi) f = v(rng);
  for (float &f : H) f = v(rng);
  std::vector<float> one = phi;
  stage1::divergence_level(one.data(), w, h, H.data(), rowA.data(), rowB.data());
  for (int workers : kCounts) {
    std::vector<float> many = phi;
    stage1::divergence_level(workers, many.data(), w, h, H.data(), rowA.data(), rowB.data());
    EXPECT_TRUE(same_bits(one, many)) << workers << " workers";
  }
}

TEST(WorkerCounts, NormalisationFindsTheSameClipPoints) {
  // Repeated extremes, signed zeros and a NaN: the first minimum and maximum in pixel order
  // must be found, whichever band holds them.
  const int w = 211, h = 97;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> v(0.0f, 50.0f);
  std::vector<float> plane(size_t(w) * h);
  for (float &f : plane) f = v(rng);
  plane[17] = -0.0f;
  plane[size_t(w) * h - 5] = 0.0f;
  plane[size_t(w) * 60] = std::numeric_limits<float>::quiet_NaN();
  plane[size_t(w) * 40 + 3] = 80.0f;
  plane[size_t(w) * 90 + 3] = 80.0f;
  for (const auto &[white, black] : {std::pair{0.25f, 0.0f}, std::pair{3.0f, 2.0f}, std::pair{10.0f, 10.0f}}) {
    float param[TMLIB_TMPARAM_SLOTS] = {};
    param[TMLIB_DE_WHITE_CLIP] = white;
    param[TMLIB_DE_BLACK_CLIP] = black;
    std::vector<float> one = plane;
    ASSERT_EQ(tm30(w, h, DimParam{}, param, one.data()), h);
    for (int workers : kCounts) {
      std::vector<float> many = plane;
      ASSERT_EQ(normalise_plane(workers, w, h, param, many.data()), h);
      EXPECT_TRUE(same_bits(one, many)) << "clips " << white << "/" << black << ", " << workers << " workers";
    }
  }
}

TEST(WorkerCounts, FinishingStageReportsAnyWorkerThatCouldNotStart) {
  // Large enough for the normalisation to run on the workers: a failed thread creation in any
  // of its passes or in the finish gives -2 with the whole picture done.
  const int w = 64, h = 40;
  const std::vector<uint8_t> rgbe = rgbe_rows(w, h, 2);
  std::vector<float> plane(size_t(w) * h);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = 0.01f + float(i % 97) * 0.03f;
  float param[TMLIB_TMPARAM_SLOTS], table[256];
  tmparam_default(TMLIB_METHOD_DETAILS, 0, param);
  exp_lut(table, -8);
  const float lum[7] = {0.2f, 400.0f, 0.001f, -1.6f, -2.5f, 0.5f, 2.0f};
  auto run = [&](int workers, std::vector<uint8_t> &out) {
    DimParam dim;
    init_dim_param(&dim);
    dim.v[TMLIB_DIM_WIDTH] = w;
    dim.v[TMLIB_DIM_HEIGHT] = h;
    dim.v[TMLIB_DIM_SPP] = 3;
    dim.v[TMLIB_DIM_OUT_BITS] = 8;
    dim.v[TMLIB_DIM_SRC_STRIDE] = dim.v[TMLIB_DIM_OUT_STRIDE] = 3 * w;
    OptimParam opt;
    init_optim_param(&opt);
    opt.v[TMLIB_OPT_WORKERS] = workers;
    std::vector<float> work = plane;
    out.assign(size_t(3) * w * h, 0);
    return calc_tm3(0, dim, param, lum, table, nullptr, opt, rgbe.data(), work.data(), out.data());
  };
  std::vector<uint8_t> single;
  ASSERT_EQ(run(1, single), h);
  for (int failAt : {0, 4, 8, 10}) {
    tmlib::testing::fail_thread_creation_at(failAt);
    std::vector<uint8_t> out;
    EXPECT_EQ(run(3, out), kErrShortIo) << failAt;
    EXPECT_EQ(out, single) << failAt;
    EXPECT_EQ(tmlib::testing::live_workers(), 0);
  }
  tmlib::testing::fail_thread_creation_at(-1);
}

TEST(WorkerCounts, StageOneAsAWhole) {
  const int w = 190, h = 130;
  const std::vector<uint8_t> rgbe = rgbe_rows(w, h, 11);
  float table[256];
  exp_lut(table, -8);
  for (float mode : {0.0f, 1.0f}) {
    float param[TMLIB_TMPARAM_SLOTS];
    tmparam_default(TMLIB_METHOD_DETAILS, 0, param);
    param[TMLIB_DE_SMOOTHING_MODE] = mode;
    int32_t dims[TMLIB_PYRAMID_DIMS] = {};
    ASSERT_GE(tm_dim(w, h, param, dims), 0);
    const int64_t m = std::max(dims[TMLIB_PD_SOLVER_CELLS], dims[TMLIB_PD_ANALYSIS_CELLS]);
    auto run = [&](int workers, std::vector<float> &pyramid, std::vector<float> &lum) {
      std::vector<uint8_t> work(size_t(std::max<int64_t>(4 * m, int64_t(rgbe.size()))));
      std::memcpy(work.data(), rgbe.data(), rgbe.size());
      pyramid.assign(size_t(m), 0.0f);
      lum.assign(7, 0.0f);
      DimParam dim;
      init_dim_param(&dim);
      dim.v[TMLIB_DIM_WIDTH] = w;
      dim.v[TMLIB_DIM_HEIGHT] = h;
      dim.v[TMLIB_DIM_SPP] = 3;
      OptimParam opt;
      init_optim_param(&opt);
      opt.v[TMLIB_OPT_WORKERS] = workers;
      float curve = 0.0f;
      return calc_tm1(0, dim, param, dims, lum.data(), table, &curve, 0, opt, work.data(), pyramid.data());
    };
    std::vector<float> pyrOne, lumOne;
    ASSERT_GT(run(1, pyrOne, lumOne), 0);
    for (int workers : kCounts) {
      std::vector<float> pyrMany, lumMany;
      ASSERT_GT(run(workers, pyrMany, lumMany), 0);
      EXPECT_TRUE(same_bits(pyrOne, pyrMany)) << "mode " << mode << ", " << workers << " workers";
      EXPECT_TRUE(same_bits(lumOne, lumMany)) << "mode " << mode << ", " << workers << " workers";
    }
  }
}

}  // namespace
