// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "details/stage2.h"
#include "core/tiling.h"
#include "tmlib/details.h"

namespace {

using Grid = std::vector<float>;

// The operator written straight from its definition: the neighbours of each cell in the
// order of the relaxation table, summed in float32, then the centre subtracted once per
// neighbour.
Grid reference_L(int w, int h, bool is360, const Grid &u) {
  Grid out(u.size());
  auto at = [&](int r, int c) { return u[static_cast<std::size_t>(r) * w + c]; };
  for (int r = 0; r < h; ++r) {
    for (int c = 0; c < w; ++c) {
      std::vector<float> nb;
      const bool top = r == 0, bottom = r == h - 1, left = c == 0, right = c == w - 1;
      const float wl = at(r, left ? w - 1 : c - 1);
      const float wr = at(r, right ? 0 : c + 1);
      if (!is360) {
        if (!left) nb.push_back(at(r, c - 1));
        if (!right) nb.push_back(at(r, c + 1));
        if (!top) nb.push_back(at(r - 1, c));
        if (!bottom) nb.push_back(at(r + 1, c));
      } else if (top) {
        nb = {at(0, w / 2), wl, wr, at(1, c)};
      } else if (bottom) {
        nb = {wl, wr, at(r - 1, c)};
      } else if (left) {
        nb = {at(r - 1, c), wl, wr, at(r + 1, c)};
      } else if (right) {
        nb = {wl, at(r - 1, c), wr, at(r + 1, c)};
      } else {
        nb = {wl, wr, at(r - 1, c), at(r + 1, c)};
      }
      float s = nb[0];
      for (std::size_t k = 1; k < nb.size(); ++k) s = s + nb[k];
      for (std::size_t k = 0; k < nb.size(); ++k) s = s - at(r, c);
      out[static_cast<std::size_t>(r) * w + c] = s;
    }
  }
  return out;
}

Grid random_grid(std::size_t n, unsigned seed, float lo = -1.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  Grid g(n);
  for (auto &v : g) v = d(rng);
  return g;
}

// A smooth field with some noise: what a compressed log luminance looks like.
Grid smooth_field(int w, int h, unsigned seed) {
  Grid g = random_grid(static_cast<std::size_t>(w) * h, seed, -0.05f, 0.05f);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      g[static_cast<std::size_t>(r) * w + c] += std::sin(0.3f * c) * std::cos(0.2f * r) + 0.01f * c;
  return g;
}

double sq_norm(const Grid &v) {
  double s = 0;
  for (float x : v) s += static_cast<double>(x) * x;
  return s;
}

double residual_ratio(int w, int h, bool is360, const Grid &b, const Grid &x) {
  const Grid lx = reference_L(w, h, is360, x);
  Grid r(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) r[i] = b[i] - lx[i];
  return sq_norm(r) / sq_norm(b);
}

TEST(SolverOperator, MatchesItsDefinitionBitForBit) {
  for (bool is360 : {false, true}) {
    for (auto [w, h] : {std::pair{2, 2}, {3, 3}, {5, 4}, {8, 6}, {7, 9}, {40, 37}}) {
      const Grid u = random_grid(static_cast<std::size_t>(w) * h, 11u + w * 7u + h);
      const Grid want = reference_L(w, h, is360, u);
      for (int workers : {0, 1, 2, 3, 32}) {
        Grid out(u.size(), -7.0f);
        tm20m(workers, w, h, is360, u.data(), out.data());
        ASSERT_EQ(0, std::memcmp(want.data(), out.data(), out.size() * sizeof(float)))
            << w << "x" << h << " is360=" << is360 << " workers=" << workers;
      }
      Grid inPlace = u;
      ASSERT_EQ(0, tm20m_streaming(w, h, is360, inPlace.data()));
      EXPECT_EQ(0, std::memcmp(want.data(), inPlace.data(), u.size() * sizeof(float)))
          << "streamed " << w << "x" << h << " is360=" << is360;
    }
  }
}

TEST(SolverOperator, PanoramaPoleAndWrapAreNeighbours) {
  // A single spike at the pole of an 8-wide panorama reaches every cell of the top row; a
  // spike in column 0 reaches the last column of its row.
  const int w = 8, h = 4;
  Grid u(w * h, 0.0f);
  u[4] = 1.0f;
  Grid out(u.size());
  tm20m(0, w, h, 1, u.data(), out.data());
  for (int c = 0; c < w; ++c) {
    if (c == 3 || c == 5)
      EXPECT_EQ(out[c], 2.0f) << c;  // pole and direct neighbour
    else if (c == 4)
      EXPECT_EQ(out[c], -3.0f);  // itself: +1 as pole, -4
    else
      EXPECT_EQ(out[c], 1.0f) << c;
  }
  Grid v(w * h, 0.0f);
  v[2 * w] = 1.0f;
  tm20m(0, w, h, 1, v.data(), out.data());
  EXPECT_EQ(out[2 * w + w - 1], 1.0f);
  EXPECT_EQ(out[2 * w], -4.0f);
}

TEST(SolverOperator, DegenerateSidesStayInsideTheGrid) {
  for (auto [w, h] : {std::pair{1, 5}, {5, 1}, {1, 1}}) {
    Grid u = random_grid(static_cast<std::size_t>(w) * h, 3);
    Grid out(u.size(), 9.0f);
    tm20m(2, w, h, 1, u.data(), out.data());
    double sum = 0;
    for (float x : out) sum += x;
    EXPECT_NEAR(sum, 0.0, 1e-5) << w << "x" << h;  // reflecting borders conserve the total
  }
}

// Manufactured solution: b = L u, solved from zero.
TEST(SolverCg, ReachesTheToleranceOnPlainAndPanoramaGrids) {
  for (bool is360 : {false, true}) {
    for (auto [w, h] : {std::pair{24, 17}, {64, 48}}) {
      const Grid u = smooth_field(w, h, 5);
      const Grid b = reference_L(w, h, is360, u);
      Grid work = b;
      Grid x(b.size(), 0.0f);
      const float tol = 1e-8f;
      const int it =
          tm20(w, h, 2000, tol, is360, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, work.data(), x.data());
      ASSERT_GE(it, 1);
      EXPECT_LT(it, 2000) << "no convergence " << w << "x" << h << " is360=" << is360;
      EXPECT_LT(residual_ratio(w, h, is360, b, x), 1e-6) << w << "x" << h << " is360=" << is360;
    }
  }
}

TEST(SolverCg, StopsAtTheIterationLimitAndKeepsTheGuess) {
  const int w = 30, h = 20;
  const Grid b = reference_L(w, h, false, smooth_field(w, h, 2));
  Grid work = b, x(b.size(), 0.0f);
  EXPECT_EQ(3, tm20(w, h, 3, 1e-12f, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, work.data(), x.data()));
  EXPECT_LT(residual_ratio(w, h, false, b, x), 1.0);
  work = b;
  Grid y(b.size(), 0.5f);
  EXPECT_EQ(0, tm20(w, h, 0, 1e-12f, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, work.data(), y.data()));
  EXPECT_EQ(y, Grid(b.size(), 0.5f));
}

TEST(SolverCg, ZeroRightHandSideEndsAtOnce) {
  Grid b(50 * 40, 0.0f), x(50 * 40, 0.0f);
  EXPECT_EQ(0, tm20(50, 40, 100, 1e-5f, 0, 2, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, b.data(), x.data()));
  for (float v : x) ASSERT_EQ(v, 0.0f);
}

// The iteration written step by step with the exported kernels: the solver's own fused
// passes must give exactly these bits, threaded or not.
int plain_cg(int w, int h, int maxIter, float tol, int is360, int workers, Grid b, Grid &x) {
  const int64_t n = static_cast<int64_t>(w) * h;
  Grid r(n), t(n);
  tm20m(workers, w, h, is360, x.data(), t.data());
  for (int64_t i = 0; i < n; ++i) r[i] = b[i] - t[i];
  Grid p = r;
  float rho = 0;
  tm20d(workers, n, r.data(), r.data(), &rho);
  const float stop = tol * rho;
  int i = 0;
  for (; i < maxIter; ++i) {
    tm20m(workers, w, h, is360, p.data(), t.data());
    float d = 0;
    tm20d(workers, n, p.data(), t.data(), &d);
    if (d == 0.0f) break;
    const float alpha = rho / d;
    tm20a(workers, n, x.data(), alpha, p.data(), x.data());
    tm20a(workers, n, r.data(), -alpha, t.data(), r.data());
    float rhoNew = 0;
    tm20d(workers, n, r.data(), r.data(), &rhoNew);
    if (rhoNew < stop) break;
    tm20a(workers, n, r.data(), rhoNew / rho, p.data(), p.data());
    rho = rhoNew;
  }
  return i;
}

TEST(SolverCg, EqualsTheStepByStepIterationBitForBit) {
  for (int workers : {0, 2, 3}) {
    for (bool is360 : {false, true}) {
      const int w = 45, h = 38;
      const Grid b = reference_L(w, h, is360, smooth_field(w, h, 12));
      Grid xWant(b.size(), 0.0f), xGot(b.size(), 0.0f), work = b;
      const int want = plain_cg(w, h, 40, 1e-9f, is360, workers, b, xWant);
      const int got = tm20(w, h, 40, 1e-9f, is360, workers, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                           work.data(), xGot.data());
      EXPECT_EQ(got, want);
      EXPECT_EQ(0, std::memcmp(xWant.data(), xGot.data(), b.size() * sizeof(float)))
          << "workers=" << workers << " is360=" << is360;
    }
  }
}

TEST(SolverCg, ThreadedSolveAgreesWithOneThread) {
  // The product and the update are bit-identical over workers; the dot products add chunk
  // sums, so the iterates differ in the last bits and the solutions agree to the tolerance.
  const int w = 80, h = 60;
  const Grid b = reference_L(w, h, false, smooth_field(w, h, 9));
  Grid b1 = b, b2 = b, x1(b.size(), 0.0f), x2(b.size(), 0.0f);
  const int i1 = tm20(w, h, 500, 1e-9f, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, b1.data(), x1.data());
  const int i2 = tm20(w, h, 500, 1e-9f, 0, 2, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, b2.data(), x2.data());
  EXPECT_NEAR(i1, i2, 3);
  double diff = 0, mag = 0;
  for (std::size_t i = 0; i < x1.size(); ++i) {
    diff = std::max(diff, static_cast<double>(std::fabs(x1[i] - x2[i])));
    mag = std::max(mag, static_cast<double>(std::fabs(x1[i])));
  }
  EXPECT_LT(diff, 1e-3 * mag);
}

TEST(SolverVectors, UpdateIsOneFusedOperationAndSplitsExactly) {
  const int64_t n = 1003;
  const Grid x = random_grid(n, 1), y = random_grid(n, 2);
  const float a = 0.37f;
  Grid want(n);
  for (int64_t i = 0; i < n; ++i) want[i] = std::fma(a, x[i], y[i]);
  for (int workers : {0, 1, 2, 3, 4, 7, 32}) {
    Grid z(n, 0.0f);
    tm20a(workers, n, y.data(), a, x.data(), z.data());
    ASSERT_EQ(0, std::memcmp(want.data(), z.data(), n * sizeof(float))) << workers;
  }
  Grid z(n);
  tm20a_orig(n, y.data(), a, x.data(), z.data());
  EXPECT_EQ(0, std::memcmp(want.data(), z.data(), n * sizeof(float)));
}

TEST(SolverVectors, DotProductAddsWorkerSumsInOrder) {
  const int64_t n = 10007;
  const Grid x = random_grid(n, 3), y = random_grid(n, 4);
  float serial = 0.0f;
  for (int64_t i = 0; i < n; ++i) serial = std::fma(x[i], y[i], serial);
  float r = 0.0f;
  tm20d(1, n, x.data(), y.data(), &r);
  EXPECT_EQ(r, serial);
  tm20d_orig(n, x.data(), y.data(), &r);
  EXPECT_EQ(r, serial);
  for (int workers : {2, 3, 4, 32}) {
    float want = 0.0f;
    for (int k = 0; k < workers; ++k) {
      const tmlib::Chunk c = tmlib::vector_chunk(n, workers, k);
      float part = 0.0f;
      for (int64_t i = c.start; i < c.start + c.count; ++i) part = std::fma(x[i], y[i], part);
      want = want + part;
    }
    tm20d(workers, n, x.data(), y.data(), &r);
    EXPECT_EQ(r, want) << workers;
    EXPECT_NEAR(r, serial, 1e-3f * std::fabs(serial) + 1e-3f);
  }
}

TEST(SolverVectors, FailedThreadCreationNeverAppliesAnUpdateTwice) {
  // x <- x + a p in place: the chunks whose workers did start must not be updated again.
  const int64_t n = 4000;
  const Grid p = random_grid(n, 5);
  const Grid x0 = random_grid(n, 6);
  Grid want(n);
  for (int64_t i = 0; i < n; ++i) want[i] = std::fma(0.5f, p[i], x0[i]);
  for (int failAt : {0, 1, 3}) {
    Grid x = x0;
    tmlib::testing::fail_thread_creation_at(failAt);
    testing::internal::CaptureStdout();
    tm20a(4, n, x.data(), 0.5f, p.data(), x.data());
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    tmlib::testing::fail_thread_creation_at(-1);
    EXPECT_EQ(0, std::memcmp(want.data(), x.data(), n * sizeof(float))) << "fail at " << failAt;
    // The message carries what thread creation returned (the seam fails like pthread_create
    // out of resources), not one of the engine's own codes.
    EXPECT_NE(out.find("tm20a  error tm20a_threaded: " + std::to_string(EAGAIN) + " "), std::string::npos) << out;
  }
  // The dot product and the product fall back to the whole range on this thread.
  float serial = 0.0f, r = 1.0f;
  tm20d(0, n, p.data(), x0.data(), &serial);
  tmlib::testing::fail_thread_creation_at(1);
  tm20d(4, n, p.data(), x0.data(), &r);
  tmlib::testing::fail_thread_creation_at(-1);
  EXPECT_EQ(r, serial);
  const int w = 50, h = 80;
  const Grid u = random_grid(static_cast<std::size_t>(w) * h, 8);
  Grid out(u.size(), 0.0f);
  tmlib::testing::fail_thread_creation_at(2);
  tm20m(3, w, h, 1, u.data(), out.data());
  tmlib::testing::fail_thread_creation_at(-1);
  EXPECT_EQ(out, reference_L(w, h, true, u));
  EXPECT_EQ(tmlib::testing::live_workers(), 0);
}

// ---- streamed solve -------------------------------------------------------------------

struct TempDir {
  std::string path;
  TempDir() {
    std::string tmpl = testing::TempDir() + "stage2cgXXXXXX";
    path = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const char *name) const { return path + "/" + name; }
};

void write_floats(const std::string &path, const Grid &v) {
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(v.data(), sizeof(float), v.size(), f), v.size());
  std::fclose(f);
}

TEST(SolverStreamed, OneStripIsBitIdenticalToMemoryAndTwoStripsAgree) {
  TempDir dir;
  const int w = 33, h = 21;  // odd n: the two strips differ in length
  const int64_t n = static_cast<int64_t>(w) * h;
  for (bool is360 : {false, true}) {
    const Grid b = reference_L(w, h, is360, smooth_field(w, h, 4));
    // The right-hand side sits at an offset inside the In file, as a pyramid level does.
    Grid in(n + 100, 0.25f);
    std::copy(b.begin(), b.end(), in.begin() + 100);
    write_floats(dir.file("in"), in);
    Grid bm = b, xm(n, 0.0f);
    const int im =
        tm20(w, h, 60, 1e-7f, is360, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, bm.data(), xm.data());
    for (int mode : {2, 1}) {
      Grid xs(2 * n, 0.0f);  // x doubles as the strip scratch space
      const int is = tm20(w, h, 60, 1e-7f, is360, 0, mode, dir.file("in").c_str(), dir.file("x").c_str(),
                          dir.file("p").c_str(), dir.file("r").c_str(), dir.file("t").c_str(), 100, nullptr, xs.data());
      if (mode == 2) {
        EXPECT_EQ(is, im);
        EXPECT_EQ(0, std::memcmp(xm.data(), xs.data(), n * sizeof(float))) << "is360=" << is360;
      } else {
        // Two strips add two partial dot products: the last bits of p.Lp differ.
        EXPECT_NEAR(is, im, 2);
        for (int64_t i = 0; i < n; ++i) ASSERT_NEAR(xs[i], xm[i], 1e-3f * (1.0f + std::fabs(xm[i]))) << i;
      }
    }
  }
}

// A right-hand side offset no file position can reach (negative, or so large that its byte
// position overflows) is a file failure, never an overflowing position.
TEST(SolverStreamed, UnreachableOffsetsAreFileFailures) {
  TempDir dir;
  const int w = 10, h = 10;
  write_floats(dir.file("in"), Grid(w * h, 0.1f));
  for (int64_t offset : {int64_t{-1}, INT64_MAX / 2, INT64_MAX - 10}) {
    Grid x(2 * w * h, 0.0f);
    testing::internal::CaptureStdout();
    const int rc = tm20(w, h, 5, 1e-5f, 0, 0, 2, dir.file("in").c_str(), dir.file("x").c_str(), dir.file("p").c_str(),
                        dir.file("r").c_str(), dir.file("t").c_str(), offset, nullptr, x.data());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -20) << offset;
  }
  FILE *f = std::fopen(dir.file("strip").c_str(), "wb+");
  ASSERT_NE(f, nullptr);
  float v = 1.0f;
  EXPECT_EQ(write_strip(f, INT64_MAX / 2, 1, &v), -20);
  EXPECT_EQ(read_strip(f, INT64_MAX / 2, 1, &v), -20);
  EXPECT_EQ(write_strip(f, 3, 1, &v), 0);
  v = 0.0f;
  EXPECT_EQ(read_strip(f, 3, 1, &v), 0);
  EXPECT_EQ(v, 1.0f);
  std::fclose(f);
}

TEST(SolverStreamed, FileFailuresGiveTheirMessagesAndMinus20) {
  TempDir dir;
  const int w = 10, h = 10;
  Grid rhs(w * h, 0.1f);
  write_floats(dir.file("in"), rhs);
  const std::string missing = dir.path + "/no/such/folder";
  struct Case {
    int which;  // 0 X, 1 R, 2 P, 3 T, 4 In
    const char *message;
  } cases[] = {{0, "can not open temporary file in tm20 "},
               {1, "can not open temporary file R in tm20 "},
               {2, "can not open temporary file P in tm20 "},
               {3, "can not open temporary file T in tm20 "},
               {4, "can not open temporary file In in tm20 "}};
  for (const Case &c : cases) {
    std::string paths[5] = {dir.file("x"), dir.file("r"), dir.file("p"), dir.file("t"), dir.file("in")};
    paths[c.which] = missing;
    Grid x(2 * w * h, 0.0f);
    testing::internal::CaptureStdout();
    const int rc = tm20(w, h, 5, 1e-5f, 0, 0, 2, paths[4].c_str(), paths[0].c_str(), paths[2].c_str(), paths[1].c_str(),
                        paths[3].c_str(), 0, nullptr, x.data());
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, -20);
    EXPECT_EQ(out, std::string(c.message) + missing + "\n");
  }
  // A full device: the first write of X fails.
  Grid x(2 * w * h, 0.0f);
  testing::internal::CaptureStdout();
  const int rc = tm20(w, h, 5, 1e-5f, 0, 0, 2, dir.file("in").c_str(), "/dev/full", dir.file("p").c_str(),
                      dir.file("r").c_str(), dir.file("t").c_str(), 0, nullptr, x.data());
  std::fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, -20);
  EXPECT_NE(out.find("could not write to temporary file in tm20 - - returned"), std::string::npos) << out;
  // A right-hand side file shorter than the level: a short read.
  write_floats(dir.file("short"), Grid(10, 1.0f));
  testing::internal::CaptureStdout();
  const int rc2 = tm20(w, h, 5, 1e-5f, 0, 0, 2, dir.file("short").c_str(), dir.file("x").c_str(), dir.file("p").c_str(),
                       dir.file("r").c_str(), dir.file("t").c_str(), 0, nullptr, x.data());
  std::fflush(stdout);
  const std::string out2 = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc2, -20);
  EXPECT_NE(out2.find("can not read temporary file - returned"), std::string::npos) << out2;
}

}  // namespace
