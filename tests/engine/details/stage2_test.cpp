// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "details/stage2.h"
#include "tmlib/details.h"

namespace {

using tmlib::stage2::LevelSize;
using Grid = std::vector<float>;

TEST(CascadeRules, ToleranceCodesIterationLimitsAndLargeLevelFactor) {
  using namespace tmlib::stage2;
  EXPECT_EQ(tolerance_base(-1), 1e-4f);
  EXPECT_EQ(tolerance_base(-2), 3e-4f);
  EXPECT_EQ(tolerance_base(0), 1e-5f);
  EXPECT_EQ(tolerance_base(2), 1e-7f);
  for (int other : {1, 3, -3, 99}) EXPECT_EQ(tolerance_base(other), 1e-6f) << other;
  EXPECT_EQ(max_iterations(0.0f), 50);
  EXPECT_EQ(max_iterations(10.0f), 150);
  EXPECT_EQ(max_iterations(-10.0f), 16);  // 50/3 truncated
  // A corrupted record converts without undefined behaviour.
  EXPECT_EQ(max_iterations(1000.0f), 2147483647);
  EXPECT_EQ(max_iterations(NAN), 0);
  EXPECT_EQ(param_as_int(NAN), 0);
  EXPECT_EQ(param_as_int(1e20f), 2147483647);
  EXPECT_EQ(param_as_int(-2.7f), -2);
  EXPECT_EQ(level_tolerance_factor(2000, 1000), 1.0f);
  EXPECT_EQ(level_tolerance_factor(1601, 1600), 1.0f);  // m = 1600 is not above the limit
  EXPECT_NEAR(level_tolerance_factor(4000, 3000), 20.0 * std::log(3.5), 1e-4);
  EXPECT_NEAR(level_tolerance_factor(1602, 1602), 20.0 * std::log(1.602), 1e-4);
}

TEST(CascadeRules, LevelsHalveRoundingUpUntilASideIsThreeOrLess) {
  const auto lv = tmlib::stage2::cascade_levels(10, 7, 5);
  ASSERT_EQ(lv.size(), 5u);
  const int want[5][2] = {{10, 7}, {5, 4}, {3, 2}, {3, 2}, {3, 2}};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(lv[k].w, want[k][0]) << k;
    EXPECT_EQ(lv[k].h, want[k][1]) << k;
  }
  const auto big = tmlib::stage2::cascade_levels(858, 572, 3);
  EXPECT_EQ(big[2].w, 215);
  EXPECT_EQ(big[2].h, 143);
  EXPECT_TRUE(tmlib::stage2::cascade_levels(858, 572, 0).empty());
}

// The coarse-to-fine starting guess, computed out of place from an untouched copy.
Grid reference_upsample(const Grid &c, int cw, int ch, int fw, int fh, bool is360) {
  Grid f(static_cast<std::size_t>(fw) * fh);
  auto C = [&](int r, int k) { return c[static_cast<std::size_t>(r) * cw + k]; };
  for (int i = 0; i < fh; ++i) {
    const int r0 = std::min(i / 2, ch - 1);
    const bool below = (i % 2 == 1) && (i + 1) / 2 < ch;
    for (int j = 0; j < fw; ++j) {
      const int c0 = std::min(j / 2, cw - 1);
      int c1 = -1;
      if (j % 2 == 1) c1 = (j + 1) / 2 < cw ? (j + 1) / 2 : (is360 ? 0 : -1);
      float v;
      if (c1 < 0)
        v = below ? 0.5f * C(r0, c0) + 0.5f * C(r0 + 1, c0) : C(r0, c0);
      else if (below)
        v = 0.25f * C(r0, c0) + 0.25f * C(r0, c1) + 0.25f * C(r0 + 1, c0) + 0.25f * C(r0 + 1, c1);
      else
        v = 0.5f * C(r0, c0) + 0.5f * C(r0, c1);
      f[static_cast<std::size_t>(i) * fw + j] = v;
    }
  }
  return f;
}

TEST(CascadeUpsampling, InPlaceEqualsOutOfPlaceForEveryParityAndThePanoramaEdge) {
  // The last fine row of a panorama reads coarse column 0 after its own writes have passed
  // over it; the in-place result must still equal the one computed from an untouched copy.
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-1, 1);
  for (bool is360 : {false, true}) {
    for (auto [cw, ch, fw, fh] : {std::tuple{4, 3, 8, 6},
                                  {4, 3, 7, 5},
                                  {4, 3, 8, 5},
                                  {4, 3, 7, 6},
                                  {5, 5, 10, 10},
                                  {3, 2, 3, 2},
                                  {2, 3, 2, 3}}) {
      const int64_t fn = static_cast<int64_t>(fw) * fh, cn = static_cast<int64_t>(cw) * ch;
      Grid buf(static_cast<std::size_t>(fn) + 5, 0.0f);
      Grid coarse(static_cast<std::size_t>(cn));
      for (auto &v : coarse) v = d(rng);
      std::copy(coarse.begin(), coarse.end(), buf.end() - cn);
      tmlib::stage2::upsample_in_place(buf.data(), static_cast<int64_t>(buf.size()), cw, ch, fw, fh, is360);
      const Grid want = reference_upsample(coarse, cw, ch, fw, fh, is360);
      for (int64_t i = 0; i < fn; ++i)
        ASSERT_EQ(buf[buf.size() - fn + i], want[i])
            << cw << "x" << ch << "->" << fw << "x" << fh << " is360=" << is360 << " cell " << i;
    }
  }
}

// A pyramid buffer with a consistent right-hand side on every cascade level: b_k = L u_k for
// a smooth field u_k sampled at that level's resolution.
struct Pyramid {
  int W, H, M;
  std::vector<LevelSize> levels;
  std::vector<int64_t> posit;
  Grid buf;
  Grid u0;  // the field of level 0
};

Grid smooth(int w, int h, int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-0.02f, 0.02f);
  Grid g(static_cast<std::size_t>(w) * h);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) {
      const float x = static_cast<float>(c) * W / w, y = static_cast<float>(r) * H / h;
      g[static_cast<std::size_t>(r) * w + c] = 0.8f * std::sin(0.07f * x) * std::cos(0.05f * y) + d(rng);
    }
  return g;
}

Pyramid make_pyramid(int W, int H, int M, bool is360, bool zero = false) {
  Pyramid p{W, H, M, tmlib::stage2::cascade_levels(W, H, std::max(M, 1)), {0}, {}, {}};
  for (const auto &lv : p.levels) p.posit.push_back(p.posit.back() + lv.cells());
  p.buf.assign(static_cast<std::size_t>(p.posit.back() + static_cast<int64_t>(W) * H), 0.0f);  // room like stage 1's
  if (zero) return p;
  for (std::size_t k = 0; k < p.levels.size(); ++k) {
    const LevelSize lv = p.levels[k];
    const Grid u = smooth(lv.w, lv.h, W, H, 7u + static_cast<unsigned>(k));
    if (k == 0) p.u0 = u;
    tm20m(0, lv.w, lv.h, is360, u.data(), p.buf.data() + p.posit[k]);
  }
  return p;
}

DimParam dims(int W, int H) {
  DimParam d{};
  d.v[0] = W;
  d.v[1] = H;
  return d;
}

OptimParam optim(int workers) {
  OptimParam o{};
  o.v[0] = workers;
  return o;
}

void params(float *param, float slider, float code, bool is360) {
  std::memset(param, 0, 20 * sizeof(float));
  param[15] = is360 ? 1.0f : 0.0f;
  param[16] = 1.0f;
  param[17] = slider;
  param[18] = code;
}

TEST(Cascade, ZeroRightHandSideGivesOneEverywhere) {
  Pyramid p = make_pyramid(60, 45, 3, false, true);
  float param[20];
  params(param, 0, 0, false);
  tmlib::stage2::CascadeStats st;
  EXPECT_EQ(45, tmlib::stage2::calc_tm2new2_stats(dims(60, 45), 3, param, optim(2), p.buf.data(), &st));
  for (int i = 0; i < 60 * 45; ++i) ASSERT_EQ(p.buf[i], 1.0f) << i;
  for (int it : st.iterations) EXPECT_EQ(it, 0);
}

TEST(Cascade, WithoutLevelsLevelZeroIsOnlyExponentiated) {
  Grid buf(12 * 11);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = 0.01f * static_cast<float>(i) - 0.5f;
  const Grid before = buf;
  float param[20];
  params(param, 0, 0, false);
  EXPECT_EQ(11, calc_tm2new2(dims(12, 11), 0, param, optim(1), buf.data()));
  for (std::size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(buf[i], std::exp(before[i]));
}

TEST(Cascade, IterationLimitAndTolerancesFollowTheSliderAndTheLevel) {
  for (float slider : {-10.0f, 0.0f, 10.0f}) {
    Pyramid p = make_pyramid(64, 40, 3, false);
    float param[20];
    params(param, slider, 2, false);
    tmlib::stage2::CascadeStats st;
    ASSERT_EQ(40, tmlib::stage2::calc_tm2new2_stats(dims(64, 40), 3, param, optim(0), p.buf.data(), &st));
    EXPECT_EQ(st.maxIter, tmlib::stage2::max_iterations(slider));
    ASSERT_EQ(st.levels.size(), 3u);
    EXPECT_EQ(st.levels[0].w, 16);  // coarsest first
    EXPECT_EQ(st.tolerances[0], 1e-7f * 1e-4f);
    EXPECT_EQ(st.tolerances[1], 1e-7f);
    for (int it : st.iterations) EXPECT_LE(it, st.maxIter);
  }
}

double solution_error(const Pyramid &p, const Grid &out) {
  // The Neumann problem fixes u up to a constant: compare after removing the means.
  const int64_t n = static_cast<int64_t>(p.W) * p.H;
  double mu = 0, mo = 0;
  for (int64_t i = 0; i < n; ++i) {
    mu += p.u0[i];
    mo += std::log(out[i]);
  }
  mu /= n;
  mo /= n;
  double e = 0;
  for (int64_t i = 0; i < n; ++i) e = std::max(e, std::fabs((std::log(out[i]) - mo) - (p.u0[i] - mu)));
  return e;
}

TEST(Cascade, RecoversTheFieldOnPlainAndPanoramaImages) {
  for (bool is360 : {false, true}) {
    Pyramid p = make_pyramid(72, 50, 3, is360);
    float param[20];
    params(param, 10, 2, is360);
    ASSERT_EQ(50, calc_tm2new2(dims(72, 50), 3, param, optim(0), p.buf.data()));
    EXPECT_LT(solution_error(p, p.buf), 2e-3) << "is360=" << is360;
  }
}

TEST(Cascade, TinyImagesStayInsideTheirBuffers) {
  // Levels that no longer halve (a side of 3 or less) upsample onto themselves.
  for (auto [W, H] : {std::pair{1, 1}, {1, 7}, {3, 2}, {5, 3}, {2, 9}}) {
    const auto levels = tmlib::stage2::cascade_levels(W, H, 3);
    int64_t S = 0;
    for (const auto &lv : levels) S += lv.cells();
    // Right-hand sides that sum to zero per level, as divergences with closed borders do.
    Grid buf(static_cast<std::size_t>(S));
    int64_t at = 0;
    for (const auto &lv : levels) {
      const Grid u = smooth(lv.w, lv.h, W, H, 3);
      tm20m(0, lv.w, lv.h, 1, u.data(), buf.data() + at);
      at += lv.cells();
    }
    float param[20];
    params(param, 0, 0, true);
    ASSERT_EQ(H, calc_tm2new2(dims(W, H), 3, param, optim(2), buf.data())) << W << "x" << H;
    for (int64_t i = 0; i < static_cast<int64_t>(W) * H; ++i)
      ASSERT_TRUE(std::isfinite(buf[i]) && buf[i] > 0.0f) << W << "x" << H << " " << buf[i];
  }
}

TEST(Cascade, ThreadedRunAgreesWithOneThread) {
  // Levels above 1,200 cells split their dot products over the workers; the sums are
  // grouped differently, so the results agree to the tolerance rather than to the bit.
  Pyramid a = make_pyramid(90, 64, 3, false);
  Pyramid b = a;
  float param[20];
  params(param, 0, 0, false);
  ASSERT_EQ(64, calc_tm2new2(dims(90, 64), 3, param, optim(0), a.buf.data()));
  ASSERT_EQ(64, calc_tm2new2(dims(90, 64), 3, param, optim(2), b.buf.data()));
  for (int i = 0; i < 90 * 64; ++i) ASSERT_NEAR(a.buf[i], b.buf[i], 2e-3f * a.buf[i]) << i;
}

struct TempDir {
  std::string path;
  TempDir() {
    std::string tmpl = testing::TempDir() + "stage2XXXXXX";
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const char *name) const { return path + "/" + name; }
};

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

OptimParam streaming_optim(const std::string (&paths)[5]) {
  OptimParam o = optim(2);
  o.v[1] = 1;
  for (int k = 0; k < 5; ++k) o.v[3 + k] = reinterpret_cast<intptr_t>(paths[k].c_str());
  return o;
}

TEST(CascadeStreamed, AgreesWithMemoryWritesTheResultAndRemovesItsFiles) {
  TempDir dir;
  const std::string paths[5] = {dir.file("in"), dir.file("x"), dir.file("p"), dir.file("r"), dir.file("t")};
  const int W = 61, H = 47, M = 4;
  Pyramid mem = make_pyramid(W, H, M, false);
  Pyramid str = mem;
  // Exactly the cascade's total: the streamed solve uses the buffer as X and as its strip
  // scratch space without going past it (odd level 0, two strips of different lengths).
  str.buf.resize(static_cast<std::size_t>(str.posit.back()));
  str.buf.shrink_to_fit();
  float param[20];
  params(param, 0, 0, false);
  ASSERT_EQ(H, calc_tm2new2(dims(W, H), M, param, optim(0), mem.buf.data()));
  ASSERT_EQ(H, calc_tm2new2(dims(W, H), M, param, streaming_optim(paths), str.buf.data()));
  // Level 1 and the coarse levels run the same arithmetic; level 0 adds its two strips'
  // dot products separately, so the last bits of each step size differ.
  for (int i = 0; i < W * H; ++i) ASSERT_NEAR(str.buf[i], mem.buf[i], 1e-4f * mem.buf[i]) << i;
  for (int k = 1; k < 5; ++k) EXPECT_FALSE(exists(paths[k])) << paths[k];
  FILE *f = std::fopen(paths[0].c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Grid back(W * H + 1);
  EXPECT_EQ(std::fread(back.data(), sizeof(float), back.size(), f), static_cast<std::size_t>(W * H));
  std::fclose(f);
  EXPECT_EQ(0, std::memcmp(back.data(), str.buf.data(), W * H * sizeof(float)));
}

TEST(CascadeStreamed, TwoLevelsOrFewerStayInMemory) {
  // With the disk flag but only two levels nothing is streamed: unusable paths do not matter
  // and the result equals the in-memory one to the bit.
  const std::string bad = "/nonexistent-folder/file";
  const std::string paths[5] = {bad, bad, bad, bad, bad};
  Pyramid a = make_pyramid(50, 40, 2, false);
  Pyramid b = a;
  float param[20];
  params(param, 0, 0, false);
  ASSERT_EQ(40, calc_tm2new2(dims(50, 40), 2, param, optim(2), a.buf.data()));
  ASSERT_EQ(40, calc_tm2new2(dims(50, 40), 2, param, streaming_optim(paths), b.buf.data()));
  EXPECT_EQ(a.buf, b.buf);
}

std::string run_capturing(int *rc, const std::function<int()> &fn) {
  testing::internal::CaptureStdout();
  *rc = fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(CascadeStreamed, FileFailuresGiveTheirCodesAndMessages) {
  TempDir dir;
  float param[20];
  params(param, 0, 0, false);
  const int W = 40, H = 30, M = 3;
  {
    const std::string missing = dir.path + "/no/in";
    const std::string paths[5] = {missing, dir.file("x"), dir.file("p"), dir.file("r"), dir.file("t")};
    Pyramid p = make_pyramid(W, H, M, false);
    int rc = 0;
    const std::string out =
        run_capturing(&rc, [&] { return calc_tm2new2(dims(W, H), M, param, streaming_optim(paths), p.buf.data()); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "can not open temporary file " + missing + "\n");
  }
  {
    const std::string paths[5] = {"/dev/full", dir.file("x"), dir.file("p"), dir.file("r"), dir.file("t")};
    Pyramid p = make_pyramid(W, H, M, false);
    int rc = 0;
    const std::string out =
        run_capturing(&rc, [&] { return calc_tm2new2(dims(W, H), M, param, streaming_optim(paths), p.buf.data()); });
    EXPECT_EQ(rc, -2);
    EXPECT_NE(out.find("could not write to temporary file iofpRHS"), std::string::npos) << out;
  }
  {
    const std::string missing = dir.path + "/no/x";
    const std::string paths[5] = {dir.file("in"), missing, dir.file("p"), dir.file("r"), dir.file("t")};
    Pyramid p = make_pyramid(W, H, M, false);
    int rc = 0;
    const std::string out =
        run_capturing(&rc, [&] { return calc_tm2new2(dims(W, H), M, param, streaming_optim(paths), p.buf.data()); });
    EXPECT_EQ(rc, -20);
    EXPECT_EQ(out, "can not open temporary file in tm20 " + missing + "\n");
  }
}

TEST(Stage2Entry, SmoothingModeChoosesTheSolverAndSizesAreChecked) {
  const int W = 64, H = 48;
  Pyramid p = make_pyramid(W, H, 3, false);
  float param[20];
  params(param, 0, 0, false);
  const int64_t size = static_cast<int64_t>(p.buf.size());
  Pyramid viaEntry = p, direct = p;
  ASSERT_EQ(H, calc_tm2(dims(W, H), 8, 6, size, 4, param, optim(0), viaEntry.buf.data()));
  ASSERT_EQ(H, calc_tm2new2(dims(W, H), 3, param, optim(0), direct.buf.data()));
  EXPECT_EQ(viaEntry.buf, direct.buf);

  param[16] = 0.0f;
  Pyramid oldEntry = p, oldDirect = p;
  ASSERT_EQ(H, calc_tm2(dims(W, H), 8, 6, size, 3, param, optim(0), oldEntry.buf.data()));
  ASSERT_EQ(H, calc_tm2old(dims(W, H), 8, 6, size, 3, 0, optim(0), oldDirect.buf.data()));
  EXPECT_EQ(oldEntry.buf, oldDirect.buf);

  // Any mode but 0 is the slider, as tm_dim and calc_tm1 read it: a negative or NaN mode
  // gets the slider's pyramid from them, so the cascade must solve it.
  for (float mode : {-1.0f, -0.5f, std::nanf("")}) {
    param[16] = mode;
    std::vector<int32_t> pd(13, 0), slider(13, 0);
    EXPECT_EQ(tm_dim(W, H, param, pd.data()), tm_dimSAV(W, H, 0, 0, slider.data())) << mode;
    EXPECT_EQ(pd, slider) << mode;
    Pyramid modeEntry = p;
    ASSERT_EQ(H, calc_tm2(dims(W, H), 8, 6, size, 4, param, optim(0), modeEntry.buf.data())) << mode;
    EXPECT_EQ(modeEntry.buf, direct.buf) << mode;
  }

  // A record whose levels do not fit the buffer stage 1 sized is refused before any access.
  param[16] = 1.0f;
  EXPECT_EQ(-1, calc_tm2(dims(W, H), 8, 6, W * H, 4, param, optim(0), p.buf.data()));
  EXPECT_EQ(-1, calc_tm2(dims(0, H), 8, 6, size, 4, param, optim(0), p.buf.data()));
}

TEST(Stage2Entry, SmallImagesStillSolveLevelZero) {
  // Level counts of 1 or less (small images) leave no cascade level of their own: level 0 is
  // solved as the only level, never handed on as the exponential of its right-hand side.
  const int W = 48, H = 30;
  for (int levels : {1, 0, -1}) {
    Pyramid p = make_pyramid(W, H, 1, false);
    float param[20];
    params(param, 10, 0, false);
    Pyramid direct = p;
    ASSERT_EQ(H, calc_tm2(dims(W, H), W, H, static_cast<int64_t>(p.buf.size()), levels, param, optim(0), p.buf.data()))
        << levels;
    ASSERT_EQ(H, calc_tm2new2(dims(W, H), 1, param, optim(0), direct.buf.data()));
    EXPECT_TRUE(p.buf == direct.buf) << "levels=" << levels;
    EXPECT_LT(solution_error(p, p.buf), 2e-3) << "levels=" << levels;
  }
}

}  // namespace
