// SPDX-License-Identifier: MIT
// Stage 2's entry points when the heap is exhausted: the failure comes back as -4 instead of
// an exception crossing the C interface. Allocation is made to fail on this thread only, by
// replacing the plain operator new of this test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "tmlib/details.h"

namespace {
thread_local bool failAllocations = false;
}  // namespace

void *operator new(std::size_t size) {
  if (failAllocations) throw std::bad_alloc();
  if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  if (failAllocations) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
// These replace the global pair, so free() is the matching release; optimising builds of GCC
// cannot see that and would warn.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

TEST(Stage2OutOfMemory, CascadeEntryReturnsMinusFourInsteadOfThrowing) {
  const int W = 40, H = 24;
  std::vector<float> pyramid(static_cast<std::size_t>(W) * H * 2, 0.0f);
  float param[32] = {};
  param[16] = 1.0f;  // the conjugate-gradient cascade
  DimParam dim{};
  dim.v[0] = W;
  dim.v[1] = H;
  OptimParam opt{};
  int rc = 0;
  bool threw = false;
  failAllocations = true;
  try {
    rc = calc_tm2(dim, 8, 6, static_cast<int64_t>(pyramid.size()), 3, param, opt, pyramid.data());
  } catch (...) {
    threw = true;
  }
  failAllocations = false;
  EXPECT_FALSE(threw) << "an exception crossed the C interface";
  EXPECT_EQ(rc, -4);
}

}  // namespace
