// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "details/stage2.h"
#include "tmlib/details.h"

namespace {

using namespace tmlib::stage2;
using Grid = std::vector<float>;

void expect_levels(const GridHierarchy &g, std::vector<std::pair<int, int>> want) {
  ASSERT_EQ(g.levels.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(g.levels[k].w, want[k].first) << "level " << k;
    EXPECT_EQ(g.levels[k].h, want[k].second) << "level " << k;
  }
}

TEST(MultigridHierarchy, MultiplesHalveToTheMinimumOthersGoThroughTheFractionalMap) {
  GridHierarchy g;
  ASSERT_EQ(0, grid_hierarchy(64, 32, 8, 4, 3, &g));
  EXPECT_FALSE(g.fractional);
  expect_levels(g, {{64, 32}, {32, 16}, {16, 8}, {8, 4}});
  EXPECT_EQ(g.offsets[3], 64 * 32 + 32 * 16 + 16 * 8);
  EXPECT_EQ(g.total, 64 * 32 + 32 * 16 + 16 * 8 + 8 * 4);

  ASSERT_EQ(0, grid_hierarchy(100, 70, 13, 9, 3, &g));  // F = 8: W' = 96, H' = 64
  EXPECT_TRUE(g.fractional);
  EXPECT_FALSE(g.exactW);
  EXPECT_FALSE(g.exactH);
  expect_levels(g, {{100, 70}, {48, 32}, {24, 16}, {12, 8}});
  EXPECT_FLOAT_EQ(g.rW, 100.0f / 48.0f);
  EXPECT_FLOAT_EQ(g.rH, 70.0f / 32.0f);

  // The depth follows the level count, not the sides' divisibility: at 210 x 146 the
  // fractional levels could halve down to 13 x 9 for levels 2, 3 and 4 alike, which would
  // leave three smoothing levels one picture.
  for (int L : {2, 3, 4}) {
    ASSERT_EQ(0, grid_hierarchy(210, 146, 13, 9, L, &g));
    EXPECT_EQ(g.levels.size(), static_cast<std::size_t>(L) + 1) << L;
    EXPECT_EQ(g.levels[1].w, 104) << L;  // W' = 208 for F = 4, 8 and 16
    EXPECT_EQ(g.levels[1].h, 72) << L;
  }

  ASSERT_EQ(0, grid_hierarchy(64, 70, 8, 9, 3, &g));  // width divides exactly: two taps across
  EXPECT_TRUE(g.fractional);
  EXPECT_TRUE(g.exactW);
  EXPECT_EQ(g.rW, 2.0f);

  // More levels than the short side allows would leave the first coarse level empty.
  ASSERT_EQ(0, grid_hierarchy(12, 200, 5, 5, 5, &g));
  EXPECT_EQ(g.levelsUsed, 3);
  EXPECT_EQ(g.levels[1].w, 4);
  EXPECT_EQ(g.levels[1].h, 100);

  EXPECT_EQ(-1, grid_hierarchy(1, 200, 1, 1, 2, &g));
}

TEST(MultigridHierarchy, FractionalTapsCoverTheFineRowsWithUnitWeight) {
  for (float ratio : {70.0f / 32.0f, 2.5f, 3.75f, 100.0f / 48.0f}) {
    for (int i = 0; i < 20; ++i) {
      const FracTaps t = fractional_taps(i, ratio, false);
      ASSERT_EQ(t.count, 3);
      EXPECT_EQ(t.first, static_cast<int>(i * ratio));
      EXPECT_NEAR(t.weight[0] + t.weight[1] + t.weight[2], 1.0f, 2e-6f) << ratio << " " << i;
      for (int a = 0; a < 3; ++a) EXPECT_GE(t.weight[a], 0.0f);
    }
  }
  const FracTaps e = fractional_taps(5, 2.0f, true);
  EXPECT_EQ(e.first, 10);
  EXPECT_EQ(e.count, 2);
  EXPECT_EQ(e.weight[0], 0.5f);
  EXPECT_EQ(e.weight[1], 0.5f);
}

TEST(MultigridTransfer, FractionalMapConservesTheSumOfAConstantField) {
  for (auto [W, H, L] : {std::tuple{100, 70, 3}, {30, 30, 4}, {64, 70, 3}, {64, 32, 3}}) {
    GridHierarchy g;
    ASSERT_EQ(0, grid_hierarchy(W, H, 5, 5, L, &g));
    const LevelSize c = g.levels[1];
    Grid fine(static_cast<std::size_t>(W) * H, 3.0f), coarse(c.cells(), 0.0f);
    restrict_level(g, 0, fine.data(), coarse.data());
    double sum = 0;
    for (float v : coarse) {
      EXPECT_NEAR(v, 3.0f, 1e-5f);
      sum += v;
    }
    const double area = static_cast<double>(W) * H / static_cast<double>(c.cells());
    EXPECT_NEAR(sum * area, 3.0 * W * H, 1e-5 * 3.0 * W * H) << W << "x" << H;
    // A constant correction reaches every fine cell once while blocks of three cells span
    // the ratio; with a ratio above 3 (30 x 30 over 16) the cells between blocks get none.
    Grid ones(c.cells(), 1.0f), up(fine.size(), 0.5f);
    prolong_add(g, 0, ones.data(), up.data());
    int reached = 0;
    for (float v : up) {
      ASSERT_TRUE(v == 1.5f || v == 0.5f);
      reached += v == 1.5f;
    }
    if (g.rW <= 3.0f && g.rH <= 3.0f)
      EXPECT_EQ(reached, W * H) << W << "x" << H;
    else
      EXPECT_LT(reached, W * H);
  }
}

TEST(MultigridTransfer, LaterBlocksWinWhereTheyOverlap) {
  // rW = 100/48: the blocks of three columns starting at floor(j rW) overlap by one column;
  // an overlapped fine cell receives the value of the later coarse cell only.
  GridHierarchy g;
  ASSERT_EQ(0, grid_hierarchy(100, 70, 13, 9, 3, &g));
  const LevelSize c = g.levels[1];
  Grid coarse(c.cells());
  for (int i = 0; i < c.h; ++i)
    for (int j = 0; j < c.w; ++j) coarse[static_cast<std::size_t>(i) * c.w + j] = static_cast<float>(1000 * i + j);
  Grid fine(100 * 70, 0.0f);
  prolong_add(g, 0, coarse.data(), fine.data());
  // Fine column 2 is in the blocks of coarse columns 0 (cols 0..2) and 1 (cols 2..4).
  EXPECT_EQ(fine[2], 1.0f);
  // Fine row 2 is in the blocks of coarse rows 0 (rows 0..2) and 1 (rows 2..4).
  EXPECT_EQ(fine[2 * 100 + 0], 1000.0f);
}

// ---- the solve --------------------------------------------------------------------------

Grid smooth(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-0.02f, 0.02f);
  Grid g(static_cast<std::size_t>(w) * h);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      g[static_cast<std::size_t>(r) * w + c] = 0.7f * std::sin(0.09f * c) * std::cos(0.07f * r) + d(rng);
  return g;
}

// Reference solution of L u = b: plain successive over-relaxation until the update stalls.
Grid gauss_seidel(int w, int h, bool is360, const Grid &b) {
  std::vector<double> u(b.size(), 0.0);
  for (int sweep = 0; sweep < 5000; ++sweep) {
    double change = 0;
    for (int r = 0; r < h; ++r) {
      for (int c = 0; c < w; ++c) {
        double s = 0;
        int nb = 0;
        auto add = [&](int rr, int cc) {
          s += u[static_cast<std::size_t>(rr) * w + cc];
          ++nb;
        };
        if (c > 0)
          add(r, c - 1);
        else if (is360)
          add(r, w - 1);
        if (c < w - 1)
          add(r, c + 1);
        else if (is360)
          add(r, 0);
        if (r > 0) add(r - 1, c);
        if (r < h - 1) add(r + 1, c);
        if (is360 && r == 0) add(0, w / 2);
        double self = nb;
        if (is360 && r == 0 && c == w / 2) self -= 1;  // the pole is its own neighbour
        const std::size_t i = static_cast<std::size_t>(r) * w + c;
        const double gs = (s - (is360 && r == 0 && c == w / 2 ? u[i] : 0.0) - b[i]) / self;
        const double v = u[i] + 1.9 * (gs - u[i]);
        change = std::max(change, std::fabs(v - u[i]));
        u[i] = v;
      }
    }
    if (change < 1e-7) break;
  }
  return Grid(u.begin(), u.end());
}

double centred_distance(const Grid &a, const Grid &b) {
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ma += a[i];
    mb += b[i];
  }
  ma /= a.size();
  mb /= b.size();
  double e = 0;
  for (std::size_t i = 0; i < a.size(); ++i) e = std::max(e, std::fabs((a[i] - ma) - (b[i] - mb)));
  return e;
}

double residual_norm(int w, int h, bool is360, const Grid &b, const Grid &u) {
  Grid lu(u.size());
  tm20m(0, w, h, is360, u.data(), lu.data());
  double s = 0;
  for (std::size_t i = 0; i < u.size(); ++i) s += std::pow(b[i] - lu[i], 2);
  return std::sqrt(s);
}

struct Problem {
  int W, H, L, minW, minH;
  bool is360;
};

DimParam dims(int W, int H) {
  DimParam d{};
  d.v[0] = W;
  d.v[1] = H;
  return d;
}

Grid run_old(const Problem &p, const Grid &b, OptimParam opt, int *rc) {
  GridHierarchy g;
  grid_hierarchy(p.W, p.H, p.minW, p.minH, p.L, &g);
  Grid buf(static_cast<std::size_t>(g.total), 0.0f);
  std::copy(b.begin(), b.end(), buf.begin());
  *rc = calc_tm2old(dims(p.W, p.H), p.minW, p.minH, g.total, p.L, p.is360, opt, buf.data());
  buf.resize(b.size());
  return buf;
}

TEST(MultigridSolve, VCyclesApproachTheConvergedSolution) {
  for (const Problem &p : {Problem{64, 48, 3, 8, 6, false}, Problem{70, 50, 3, 8, 6, false},
                           Problem{64, 48, 3, 8, 6, true}, Problem{70, 50, 3, 8, 6, true}}) {
    Grid b(static_cast<std::size_t>(p.W) * p.H);
    tm20m(0, p.W, p.H, p.is360, smooth(p.W, p.H, 3).data(), b.data());
    const Grid ref = gauss_seidel(p.W, p.H, p.is360, b);
    ASSERT_LT(residual_norm(p.W, p.H, p.is360, b, ref), 1e-3 * residual_norm(p.W, p.H, p.is360, b, Grid(b.size(), 0)));
    int rc = 0;
    Grid out = run_old(p, b, OptimParam{}, &rc);
    ASSERT_EQ(rc, p.H);
    for (float &v : out) v = std::log(v);
    const Grid zero(b.size(), 0.0f);
    const double before = centred_distance(zero, ref);
    const double after = centred_distance(out, ref);
    EXPECT_LT(after, 0.35 * before) << p.W << "x" << p.H << " is360=" << p.is360;
    EXPECT_LT(residual_norm(p.W, p.H, p.is360, b, out), 0.05 * residual_norm(p.W, p.H, p.is360, b, zero))
        << p.W << "x" << p.H << " is360=" << p.is360;
  }
}

TEST(MultigridSolve, ThreadedRunIsBitIdenticalToOneThread) {
  // Relaxation colours cells by global parity in every band and the product is the same per
  // row, so workers change nothing.
  for (const Problem &p : {Problem{70, 50, 3, 8, 6, false}, Problem{64, 48, 3, 8, 6, true}}) {
    Grid b(static_cast<std::size_t>(p.W) * p.H);
    tm20m(0, p.W, p.H, p.is360, smooth(p.W, p.H, 5).data(), b.data());
    OptimParam one{}, two{};
    two.v[0] = 2;
    int rc1 = 0, rc2 = 0;
    const Grid a = run_old(p, b, one, &rc1);
    const Grid c = run_old(p, b, two, &rc2);
    EXPECT_EQ(rc1, p.H);
    EXPECT_EQ(rc2, p.H);
    EXPECT_EQ(a, c);
  }
}

TEST(MultigridSolve, RefusesNoLevelsAndAShortBuffer) {
  Grid buf(64 * 48, 0.0f);
  EXPECT_EQ(-2, calc_tm2old(dims(64, 48), 8, 6, static_cast<int64_t>(buf.size()), 0, 0, OptimParam{}, buf.data()));
  EXPECT_EQ(-1, calc_tm2old(dims(64, 48), 8, 6, static_cast<int64_t>(buf.size()), 3, 0, OptimParam{}, buf.data()));
  // A zero right-hand side stays zero: the luminance is 1 everywhere.
  Grid big(64 * 48 * 2, 0.0f);
  EXPECT_EQ(48, calc_tm2old(dims(64, 48), 8, 6, static_cast<int64_t>(big.size()), 3, 0, OptimParam{}, big.data()));
  for (int i = 0; i < 64 * 48; ++i) ASSERT_EQ(big[i], 1.0f);
  // A level count far beyond the sides (2^L would overflow) is brought back to what they allow.
  std::fill(big.begin(), big.end(), 0.0f);
  EXPECT_EQ(48, calc_tm2old(dims(64, 48), 8, 6, static_cast<int64_t>(big.size()), 1000, 1, OptimParam{}, big.data()));
  for (int i = 0; i < 64 * 48; ++i) ASSERT_EQ(big[i], 1.0f);
}

TEST(MultigridSolve, TinyAndThinImagesStayInsideTheirBuffers) {
  for (auto [W, H, L] : {std::tuple{2, 2, 1}, {3, 3, 1}, {1000, 10, 2}, {10, 999, 3}, {17, 5, 6}}) {
    GridHierarchy g;
    ASSERT_EQ(0, grid_hierarchy(W, H, 5, 5, L, &g));
    Grid buf(static_cast<std::size_t>(g.total));
    tm20m(0, W, H, 0, smooth(W, H, 2).data(), buf.data());
    ASSERT_EQ(H, calc_tm2old(dims(W, H), 5, 5, g.total, L, 0, OptimParam{}, buf.data())) << W << "x" << H;
    for (int64_t i = 0; i < static_cast<int64_t>(W) * H; ++i)
      ASSERT_TRUE(std::isfinite(buf[i]) && buf[i] > 0.0f) << W << "x" << H << " " << i;
  }
}

struct TempDir {
  std::string path;
  TempDir() {
    std::string tmpl = testing::TempDir() + "stage2mgXXXXXX";
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const char *name) const { return path + "/" + name; }
};

OptimParam streamed(const std::string &rhs, const std::string &res) {
  OptimParam o{};
  o.v[1] = 1;
  o.v[3] = reinterpret_cast<intptr_t>(rhs.c_str());
  o.v[4] = reinterpret_cast<intptr_t>(res.c_str());
  return o;
}

TEST(MultigridStreamed, EqualsTheInMemorySolveAndLeavesTheResultInTheRhsFile) {
  TempDir dir;
  for (const Problem &p : {Problem{70, 50, 3, 8, 6, false}, Problem{64, 48, 3, 8, 6, true}}) {
    Grid b(static_cast<std::size_t>(p.W) * p.H);
    tm20m(0, p.W, p.H, p.is360, smooth(p.W, p.H, 8).data(), b.data());
    int rcMem = 0, rcDisk = 0;
    const Grid mem = run_old(p, b, OptimParam{}, &rcMem);
    const std::string rhs = dir.file("rhs"), res = dir.file("res");
    const Grid disk = run_old(p, b, streamed(rhs, res), &rcDisk);
    ASSERT_EQ(rcMem, p.H);
    ASSERT_EQ(rcDisk, p.H);
    EXPECT_EQ(mem, disk);
    FILE *f = std::fopen(rhs.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    Grid back(b.size() + 1);
    EXPECT_EQ(std::fread(back.data(), sizeof(float), back.size(), f), b.size());
    std::fclose(f);
    back.resize(b.size());
    EXPECT_EQ(back, disk);
  }
}

TEST(MultigridStreamed, FileFailuresGiveTheirMessages) {
  TempDir dir;
  const Problem p{64, 48, 3, 8, 6, false};
  Grid b(static_cast<std::size_t>(p.W) * p.H, 0.01f);
  auto capture = [&](const OptimParam &o, int *rc) {
    testing::internal::CaptureStdout();
    run_old(p, b, o, rc);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  };
  int rc = 0;
  const std::string missing = dir.path + "/no/file";
  EXPECT_EQ(capture(streamed(missing, dir.file("res")), &rc), "can not open temporary file iofpRHS\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(capture(streamed(dir.file("rhs"), missing), &rc), "can not open temporary file iofp21\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(capture(streamed("/dev/full", dir.file("res")), &rc), "could not write to temporary file iofpRHS1\n");
  EXPECT_EQ(rc, -2);
  EXPECT_EQ(capture(streamed(dir.file("rhs"), "/dev/full"), &rc), "could not write to temporary file iofp21\n");
  EXPECT_EQ(rc, -2);
}

}  // namespace
