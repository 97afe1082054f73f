// SPDX-License-Identifier: MIT
#include "tmlib/blur.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "details/relaxation_kernels.h"
#include "core/tiling.h"

namespace {

// A grid of w x h cells at element `offset` of both buffers, with guard cells around it
// that no kernel may touch.
struct Problem {
  int w, h;
  std::int64_t offset;
  std::vector<float> u, rhs;

  Problem(int width, int height, std::int64_t off, unsigned seed) : w(width), h(height), offset(off) {
    const std::size_t n = static_cast<std::size_t>(off + std::int64_t(width) * height + 7);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    u.resize(n);
    rhs.resize(n);
    for (float &v : u) v = d(rng);
    for (float &v : rhs) v = d(rng);
  }
  std::size_t at(int r, int c) const { return static_cast<std::size_t>(offset + std::int64_t(r) * w + c); }
};

// One cell relaxed the way the neighbour table says, written out case by case: the sum in
// table order, one fused multiply-subtract, and the weight (0.3333 applied in double).
float relaxed(const Problem &p, int r, int c, float scale, bool wrap) {
  const std::vector<float> &u = p.u;
  const int w = p.w, h = p.h;
  const bool top = r == 0, bottom = r == h - 1, first = c == 0, last = c == w - 1;
  auto U = [&](int rr, int cc) { return u[p.at(rr, cc)]; };
  const float left = first ? U(r, w - 1) : U(r, c - 1);  // wrapped only where the table says
  const float right = last ? U(r, 0) : U(r, c + 1);
  std::vector<float> n;
  enum { kQuarter, kHalf, kThird } weight = kQuarter;
  if (top) {
    if (wrap) {
      n = {U(0, w / 2), left, right, U(1, c)};
    } else if (first) {
      n = {U(0, 1), U(1, 0)}, weight = kHalf;
    } else if (last) {
      n = {U(0, c - 1), U(1, c)}, weight = kHalf;
    } else {
      n = {U(0, c - 1), U(0, c + 1), U(1, c)}, weight = kThird;
    }
  } else if (bottom) {
    if (first) {
      n = wrap ? std::vector<float>{left, U(r, 1), U(r - 1, 0)} : std::vector<float>{U(r, 1), U(r - 1, 0)};
      weight = wrap ? kThird : kHalf;
    } else if (last) {
      n = wrap ? std::vector<float>{U(r, c - 1), right, U(r - 1, c)} : std::vector<float>{U(r, c - 1), U(r - 1, c)};
      weight = wrap ? kThird : kHalf;
    } else {
      n = {U(r, c - 1), U(r, c + 1), U(r - 1, c)}, weight = kThird;
    }
  } else if (first) {
    if (wrap) {
      n = {U(r - 1, 0), left, U(r, 1), U(r + 1, 0)};
    } else {
      n = {U(r, 1), U(r - 1, 0), U(r + 1, 0)}, weight = kThird;
    }
  } else if (last) {
    if (wrap) {
      n = {U(r, c - 1), U(r - 1, c), right, U(r + 1, c)};
    } else {
      n = {U(r, c - 1), U(r - 1, c), U(r + 1, c)}, weight = kThird;
    }
  } else {
    n = {U(r, c - 1), U(r, c + 1), U(r - 1, c), U(r + 1, c)};
  }
  float s = n[0];
  for (std::size_t i = 1; i < n.size(); ++i) s = s + n[i];
  const float diff = std::fmaf(-scale, p.rhs[p.at(r, c)], s);
  if (weight == kThird) return static_cast<float>(static_cast<double>(diff) * 0.3333);
  return diff * (weight == kHalf ? 0.5f : 0.25f);
}

// Red-black sweeps as the smoother defines them; `rowLimit` stops the first half-sweep
// before that row (a right-hand side that runs out).
void reference_sweeps(Problem &p, float scale, bool wrap, int iterations, int rowLimit = 1 << 30) {
  for (int it = 0; it < iterations; ++it) {
    for (int parity = 0; parity < 2; ++parity) {
      for (int r = 0; r < p.h; ++r) {
        if (r >= rowLimit) return;
        for (int c = 0; c < p.w; ++c)
          if ((r + c) % 2 == parity) p.u[p.at(r, c)] = relaxed(p, r, c, scale, wrap);
      }
    }
  }
}

TEST(Blur, OneThreadFollowsTheNeighbourTable) {
  const int sizes[][2] = {{2, 2}, {3, 2}, {2, 5}, {5, 3}, {8, 5}, {7, 6}, {16, 9}};
  for (const auto &sz : sizes) {
    for (int wrap : {0, 1}) {
      for (int iterations : {1, 3}) {
        Problem got(sz[0], sz[1], 5, 11);
        Problem want = got;
        EXPECT_EQ(blur1(got.w, got.h, 0.7f, iterations, wrap, got.offset, got.u.data(), 0, nullptr, got.rhs.data()), 1);
        reference_sweeps(want, 0.7f, wrap, iterations);
        EXPECT_EQ(got.u, want.u) << sz[0] << "x" << sz[1] << " wrap " << wrap << " iterations " << iterations;
      }
    }
  }
}

TEST(Blur, PanoramaPoleAndBottomCornerByHand) {
  Problem p(8, 3, 0, 3);
  const Problem start = p;
  const float s = 0.5f;
  blur1(8, 3, s, 1, 1, 0, p.u.data(), 0, nullptr, p.rhs.data());
  auto U0 = [&](int r, int c) { return start.u[start.at(r, c)]; };
  auto R = [&](int r, int c) { return start.rhs[start.at(r, c)]; };
  // The pole (row 0, column 4) is its own first neighbour; nothing it reads has moved yet.
  const float pole = std::fmaf(-s, R(0, 4), ((U0(0, 4) + U0(0, 3)) + U0(0, 5)) + U0(1, 4)) * 0.25f;
  EXPECT_EQ(p.u[p.at(0, 4)], pole);
  // Column 6, later in the same pass, reads the pole as just relaxed.
  EXPECT_EQ(p.u[p.at(0, 6)], std::fmaf(-s, R(0, 6), ((pole + U0(0, 5)) + U0(0, 7)) + U0(1, 6)) * 0.25f);
  // Bottom-left: the wrapped last cell, the right neighbour and the cell above, 0.3333.
  const float corner = std::fmaf(-s, R(2, 0), (U0(2, 7) + U0(2, 1)) + U0(1, 0));
  EXPECT_EQ(p.u[p.at(2, 0)], static_cast<float>(static_cast<double>(corner) * 0.3333));
}

TEST(Blur, WorkersGiveTheSameGridAsOneThread) {
  for (int width : {7, 8, 33, 40}) {
    for (int height : {2, 5, 10, 23, 31}) {
      for (int wrap : {0, 1}) {
        Problem one(width, height, 3, 5);
        const Problem start = one;
        blur1(width, height, 1.3f, 2, wrap, one.offset, one.u.data(), 0, nullptr, one.rhs.data());
        for (int workers : {1, 2, 3, 4, 5, 7, 32}) {
          Problem many = start;
          EXPECT_EQ(blur2(workers, width, height, 1.3f, 2, wrap, many.offset, many.u.data(), many.rhs.data()), 1);
          EXPECT_EQ(many.u, one.u) << width << "x" << height << " wrap " << wrap << " workers " << workers;
        }
      }
    }
  }
  // Through the dispatcher: above 1200 cells with two workers the threaded kernel runs.
  Problem one(41, 30, 0, 9);
  Problem many = one;
  blur0(1, 41, 30, 0.9f, 3, 1, 0, one.u.data(), 0, nullptr, one.rhs.data());
  blur0(2, 41, 30, 0.9f, 3, 1, 0, many.u.data(), 0, nullptr, many.rhs.data());
  EXPECT_EQ(many.u, one.u);
}

TEST(Blur, AFailedThreadCreationStillRelaxesEveryRowOnce) {
  // An odd-width panorama is the case where relaxing a band twice changes it: its first and
  // last columns have the same colour and are neighbours across the wrap. The half-sweep is
  // called on its own: inside blur2 the workers are created once, before any band is done.
  for (int width : {24, 23}) {
    for (int wrap : {0, 1}) {
      for (int parity : {0, 1}) {
        Problem one(width, 17, 3, 21);
        const Problem start = one;
        tmlib::blur2i(1, parity, width, 17, 1.0f, wrap, one.offset, one.u.data(), one.rhs.data());
        for (int failAt : {0, 1, 2}) {
          Problem fell = start;
          tmlib::testing::fail_thread_creation_at(failAt);
          tmlib::blur2i(3, parity, width, 17, 1.0f, wrap, fell.offset, fell.u.data(), fell.rhs.data());
          tmlib::testing::fail_thread_creation_at(-1);
          EXPECT_EQ(tmlib::testing::live_workers(), 0);
          EXPECT_EQ(fell.u, one.u) << width << " wrap " << wrap << " parity " << parity << " fail at " << failAt;
        }
      }
    }
  }
  // And through blur2, whose workers are created once for all its rounds.
  Problem one(24, 17, 0, 21);
  const Problem start = one;
  blur1(24, 17, 1.0f, 1, 0, 0, one.u.data(), 0, nullptr, one.rhs.data());
  for (int failAt : {0, 1, 2}) {
    Problem fell = start;
    tmlib::testing::fail_thread_creation_at(failAt);
    blur2(3, 24, 17, 1.0f, 1, 0, 0, fell.u.data(), fell.rhs.data());
    tmlib::testing::fail_thread_creation_at(-1);
    EXPECT_EQ(tmlib::testing::live_workers(), 0);
    EXPECT_EQ(fell.u, one.u) << failAt;
  }
}

TEST(Blur, NothingToDoLeavesTheGridAlone) {
  Problem p(9, 7, 2, 1);
  const std::vector<float> before = p.u;
  EXPECT_EQ(blur0(2, 9, 7, 1.0f, 0, 0, 2, p.u.data(), 0, nullptr, p.rhs.data()), 1);
  EXPECT_EQ(blur0(2, 9, 7, 1.0f, -3, 0, 2, p.u.data(), 0, nullptr, p.rhs.data()), 1);
  EXPECT_GE(blur1(9, 7, 1.0f, 0, 0, 2, p.u.data(), 0, nullptr, p.rhs.data()), 0);
  // A single row or column has no neighbour on one side at all: it is not relaxed.
  EXPECT_EQ(blur1(1, 7, 1.0f, 2, 1, 2, p.u.data(), 0, nullptr, p.rhs.data()), 1);
  EXPECT_EQ(blur2(4, 9, 1, 1.0f, 2, 0, 2, p.u.data(), p.rhs.data()), 1);
  EXPECT_EQ(p.u, before);
  // Two rows: no interior, so the interior half-sweep changes nothing.
  tmlib::blur2i(3, 0, 9, 2, 1.0f, 0, 2, p.u.data(), p.rhs.data());
  EXPECT_EQ(p.u, before);
}

// A temporary file holding `lead` unrelated floats, then the first `rows` rows of the
// problem's right-hand side, laid out exactly like the buffer.
std::FILE *rhs_file(const Problem &p, int rows) {
  std::FILE *f = std::tmpfile();
  std::fwrite(p.rhs.data(), sizeof(float), static_cast<std::size_t>(p.offset + std::int64_t(rows) * p.w), f);
  std::fflush(f);
  return f;
}

TEST(BlurStreaming, TheRightHandSideFromAFileGivesTheInMemoryResult) {
  for (int wrap : {0, 1}) {
    Problem mem(13, 9, 37, 4);
    Problem disk = mem;
    std::FILE *f = rhs_file(mem, 9);
    ASSERT_NE(f, nullptr);
    blur1(13, 9, 0.8f, 3, wrap, mem.offset, mem.u.data(), 0, nullptr, mem.rhs.data());
    EXPECT_EQ(blur1(13, 9, 0.8f, 3, wrap, disk.offset, disk.u.data(), 1, f, nullptr), 1);
    EXPECT_EQ(disk.u, mem.u);
    // The dispatcher streams too, even when workers are offered for a large grid.
    Problem large(50, 40, 37, 8);
    Problem largeDisk = large;
    std::FILE *g = rhs_file(large, 40);
    blur0(2, 50, 40, 0.8f, 2, wrap, large.offset, large.u.data(), 0, nullptr, large.rhs.data());
    EXPECT_EQ(blur0(2, 50, 40, 0.8f, 2, wrap, large.offset, largeDisk.u.data(), 1, g, nullptr), 1);
    EXPECT_EQ(largeDisk.u, large.u);
    std::fclose(f);
    std::fclose(g);
  }
}

TEST(BlurStreaming, AShortFileStopsWithTheUpdatesSoFar) {
  Problem disk(10, 8, 6, 17);
  Problem want = disk;
  std::FILE *f = rhs_file(disk, 3);  // rows 0..2 only
  testing::internal::CaptureStdout();
  EXPECT_EQ(blur1(10, 8, 1.1f, 2, 0, disk.offset, disk.u.data(), 1, f, nullptr), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "could not read from temporary file iofp11\n");
  std::fclose(f);
  reference_sweeps(want, 1.1f, false, 1, 3);
  EXPECT_EQ(disk.u, want.u);
}

TEST(BlurStreaming, AStreamThatCannotBePositionedFails) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE *f = fdopen(fds[0], "rb");
  ASSERT_NE(f, nullptr);
  Problem p(6, 6, 0, 2);
  const std::vector<float> before = p.u;
  EXPECT_EQ(blur1(6, 6, 1.0f, 1, 0, 0, p.u.data(), 1, f, nullptr), -1);
  EXPECT_EQ(blur1(6, 6, 1.0f, 1, 0, 0, p.u.data(), 1, nullptr, nullptr), -1);
  EXPECT_EQ(p.u, before);
  std::fclose(f);
  close(fds[1]);
}

}  // namespace
