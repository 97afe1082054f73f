// SPDX-License-Identifier: MIT
#include "core/tiling.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <numeric>
#include <vector>

namespace tmlib {
namespace {

// Each row of the grid must be covered exactly once by the pointwise split.
TEST(TilingSplits, PointwiseBandsCoverEveryRowOnce) {
  for (int height : {1, 2, 7, 10, 31, 100}) {
    for (int workers : {1, 2, 3, 4, 7, 32}) {
      std::vector<int> hits(height, 0);
      for (int k = 0; k < std::max(workers, 1); ++k) {
        const RowBand b = pointwise_band(height, workers, k);
        ASSERT_GE(b.rows, 0);
        for (int r = b.start; r < b.start + b.rows; ++r) {
          ASSERT_GE(r, 0);
          ASSERT_LT(r, height);
          ++hits[r];
        }
      }
      for (int r = 0; r < height; ++r) EXPECT_EQ(hits[r], 1) << "H=" << height << " P=" << workers << " r=" << r;
    }
  }
}

TEST(TilingSplits, HaloBandsUpdateEachInteriorRowOnceAndStayInsideTheGrid) {
  for (int height : {2, 3, 4, 10, 11, 64}) {
    for (int workers : {2, 3, 4, 5, 32}) {
      std::vector<int> hits(height, 0);
      for (int k = 0; k < workers; ++k) {
        const RowBand b = halo_band(height, workers, k);
        if (b.rows == 0) continue;
        ASSERT_GE(b.rows, 3);
        ASSERT_GE(b.start, 0);
        ASSERT_LE(b.start + b.rows, height);
        for (int r = b.start + 1; r <= b.start + b.rows - 2; ++r) ++hits[r];
      }
      EXPECT_EQ(hits[0], 0);
      EXPECT_EQ(hits[height - 1], 0);
      for (int r = 1; r < height - 1; ++r) EXPECT_EQ(hits[r], 1) << "H=" << height << " P=" << workers << " r=" << r;
    }
  }
}

TEST(TilingSplits, HaloBandsOfTenRowsOverThreeWorkers) {
  // rowsPer = 3: bands update rows 1-2, 3-5 and 6-8.
  EXPECT_EQ(halo_band(10, 3, 0).start, 0);
  EXPECT_EQ(halo_band(10, 3, 0).rows, 4);
  EXPECT_EQ(halo_band(10, 3, 1).start, 2);
  EXPECT_EQ(halo_band(10, 3, 1).rows, 5);
  EXPECT_EQ(halo_band(10, 3, 2).start, 5);
  EXPECT_EQ(halo_band(10, 3, 2).rows, 5);
}

TEST(TilingSplits, VectorChunksRoundUpToFour) {
  // n = 10 over 4 workers: chunk 2 rounds up to 4; workers 0-1 take 4, worker 2 the last 2, worker 3 none.
  EXPECT_EQ(vector_chunk(10, 4, 0).count, 4);
  EXPECT_EQ(vector_chunk(10, 4, 1).start, 4);
  EXPECT_EQ(vector_chunk(10, 4, 1).count, 4);
  EXPECT_EQ(vector_chunk(10, 4, 2).start, 8);
  EXPECT_EQ(vector_chunk(10, 4, 2).count, 2);
  EXPECT_EQ(vector_chunk(10, 4, 3).count, 0);
  for (std::int64_t n : {0, 1, 3, 4, 17, 1000, 1001}) {
    for (int workers : {2, 3, 5, 32}) {
      std::int64_t total = 0;
      for (int k = 0; k < workers; ++k) {
        const Chunk c = vector_chunk(n, workers, k);
        if (c.count > 0) {
          EXPECT_EQ(c.start, total);
        }
        total += c.count;
      }
      EXPECT_EQ(total, n) << "n=" << n << " P=" << workers;
    }
  }
}

TEST(TilingRun, EveryWorkerRunsOnceAndJoinsBeforeReturn) {
  for (int workers : {2, 3, 32}) {
    std::vector<int> seen(workers, 0);
    bool sequentialRan = false;
    const RunMode mode = run_workers(
        workers, [&](int k) { seen[k] += 1; }, [&] { sequentialRan = true; });
    EXPECT_EQ(mode, RunMode::kThreaded);
    EXPECT_FALSE(sequentialRan);
    for (int k = 0; k < workers; ++k) EXPECT_EQ(seen[k], 1);
    EXPECT_EQ(testing::live_workers(), 0);
  }
}

TEST(TilingRun, OneOrNoWorkerRunsTheSequentialBodyOnTheCallingThread) {
  for (int workers : {-1, 0, 1}) {
    int workerCalls = 0;
    int sequentialCalls = 0;
    EXPECT_EQ(run_workers(
                  workers, [&](int) { ++workerCalls; }, [&] { ++sequentialCalls; }),
              RunMode::kSequential);
    EXPECT_EQ(workerCalls, 0);
    EXPECT_EQ(sequentialCalls, 1);
  }
}

TEST(TilingRun, MoreThanThirtyTwoWorkersAreClamped) {
  std::atomic<int> calls{0};
  run_workers(
      100,
      [&](int k) {
        EXPECT_LT(k, kMaxWorkers);
        calls.fetch_add(1);
      },
      [] {});
  EXPECT_EQ(calls.load(), kMaxWorkers);
  EXPECT_EQ(clamp_workers(-3), 0);
  EXPECT_EQ(clamp_workers(7), 7);
  EXPECT_EQ(clamp_workers(1000), 32);
}

TEST(TilingRun, FailedCreationJoinsStartedWorkersThenRunsSequentially) {
  for (int failAt : {0, 1, 2}) {
    std::atomic<int> workerCalls{0};
    std::atomic<int> runningDuringFallback{-1};
    testing::fail_thread_creation_at(failAt);
    const RunMode mode = run_workers(
        4, [&](int) { workerCalls.fetch_add(1); }, [&] { runningDuringFallback = testing::live_workers(); });
    EXPECT_EQ(mode, RunMode::kFellBack);
    EXPECT_EQ(workerCalls.load(), failAt);
    EXPECT_EQ(runningDuringFallback.load(), 0) << "started workers must be joined before the fallback";
    EXPECT_EQ(testing::live_workers(), 0);
  }
}

TEST(TilingRun, FinishingInlineRunsEachRangeExactlyOnce) {
  // x <- x + 1 in place: a double run of any chunk would show as 2.
  const std::int64_t n = 1003;
  for (int failAt : {-1, 0, 1, 2}) {
    std::vector<float> x(n, 0.0f);
    testing::fail_thread_creation_at(failAt);
    const RunMode mode = run_workers_finishing_inline(3, [&](int k) {
      const Chunk c = vector_chunk(n, 3, k);
      for (std::int64_t i = c.start; i < c.start + c.count; ++i) x[i] += 1.0f;
    });
    EXPECT_EQ(mode, failAt < 0 ? RunMode::kThreaded : RunMode::kFellBack);
    for (std::int64_t i = 0; i < n; ++i) ASSERT_EQ(x[i], 1.0f) << "failAt=" << failAt << " i=" << i;
  }
  testing::fail_thread_creation_at(-1);
}

TEST(TilingCrew, RoundsReuseTheCrewAndGiveTheSameRanges) {
  const std::int64_t n = 10007;
  std::vector<float> fresh(n, 0.0f), crewed(n, 0.0f);
  auto round = [n](std::vector<float> &x, int step) {
    return run_workers_finishing_inline(3, [&, step](int k) {
      const Chunk c = vector_chunk(n, 3, k);
      for (std::int64_t i = c.start; i < c.start + c.count; ++i) x[i] = x[i] * 0.5f + static_cast<float>(k + step);
    });
  };
  for (int step = 0; step < 50; ++step) EXPECT_EQ(round(fresh, step), RunMode::kThreaded);
  {
    const WorkerCrew crew(3);
    for (int step = 0; step < 50; ++step) EXPECT_EQ(round(crewed, step), RunMode::kThreaded);
    EXPECT_EQ(testing::live_workers(), 2) << "the calling thread is worker 0, the crew the others";
  }
  EXPECT_EQ(testing::live_workers(), 0) << "the crew is joined when it goes out of scope";
  EXPECT_EQ(fresh, crewed);
}

TEST(TilingCrew, OtherWorkerCountsAndNestedCrewsCreateTheirOwnThreads) {
  const WorkerCrew outer(2);
  const WorkerCrew inner(4);  // does nothing while the outer crew is active
  std::atomic<int> calls{0};
  EXPECT_EQ(run_workers(
                4, [&](int) { calls.fetch_add(1); }, [] {}),
            RunMode::kThreaded);
  EXPECT_EQ(calls.load(), 4);
  EXPECT_EQ(testing::live_workers(), 0) << "a four-worker round spawns and joins its own threads";
  EXPECT_EQ(run_workers(
                2, [&](int) { calls.fetch_add(1); }, [] {}),
            RunMode::kThreaded);
  EXPECT_EQ(testing::live_workers(), 1);
}

TEST(TilingCrew, AnUnstaffedCrewFallsBackOnceThenRoundsSpawnAsUsual) {
  std::vector<int> seen(3, 0);
  int sequentialCalls = 0;
  {
    const WorkerCrew crew(3);
    testing::fail_thread_creation_at(1);
    EXPECT_EQ(run_workers(
                  3, [&](int k) { seen[k] += 1; }, [&] { ++sequentialCalls; }),
              RunMode::kFellBack);
    EXPECT_EQ(sequentialCalls, 1);
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 0})) << "the crew's started threads ran nothing";
    EXPECT_EQ(testing::live_workers(), 0);
    EXPECT_EQ(run_workers(
                  3, [&](int k) { seen[k] += 1; }, [&] { ++sequentialCalls; }),
              RunMode::kThreaded);
    EXPECT_EQ(seen, (std::vector<int>{1, 1, 1}));
  }
  testing::fail_thread_creation_at(-1);
  EXPECT_EQ(testing::live_workers(), 0);
}

// A body of a crew round that itself runs workers (index 0 runs on the calling thread, where
// the crew is active) must get all of its own workers, not a round announced to threads still
// busy with the outer one.
TEST(TilingCrew, ARoundStartedInsideACrewRoundRunsAllItsWorkers) {
  const WorkerCrew crew(2);
  std::atomic<int> innerCalls{0};
  std::atomic<int> outerCalls{0};
  int innerSeenByBodyZero = -1;
  auto inner = [&](int) { innerCalls.fetch_add(1); };
  const RunMode mode = run_workers(
      2,
      [&](int k) {
        if (k == 0) {
          run_workers(2, inner, [] {});
          innerSeenByBodyZero = innerCalls.load();
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        outerCalls.fetch_add(1);
      },
      [] {});
  EXPECT_EQ(mode, RunMode::kThreaded);
  EXPECT_EQ(innerSeenByBodyZero, 2) << "the nested round returned before its workers ran";
  EXPECT_EQ(outerCalls.load(), 2);
  EXPECT_EQ(innerCalls.load(), 2);
  EXPECT_EQ(testing::live_workers(), 1) << "the crew is still there for the next round";
  std::atomic<int> later{0};
  EXPECT_EQ(run_workers(
                2, [&](int) { later.fetch_add(1); }, [] {}),
            RunMode::kThreaded);
  EXPECT_EQ(later.load(), 2);
}

// When the body on the calling thread throws, the crew's other bodies still use the
// caller's context: the exception must not leave the round before they are done.
TEST(TilingCrew, AThrowingBodyLeavesTheRoundOnlyAfterTheCrewFinished) {
  std::atomic<bool> otherDone{false};
  {
    const WorkerCrew crew(2);
    bool caught = false;
    try {
      run_workers(
          2,
          [&](int k) {
            if (k == 0) throw std::bad_alloc();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            otherDone.store(true);
          },
          [] {});
    } catch (const std::bad_alloc &) {
      caught = true;
      EXPECT_TRUE(otherDone.load()) << "the exception left while a crew body was still running";
    }
    EXPECT_TRUE(caught);
    std::atomic<int> later{0};
    EXPECT_EQ(run_workers(
                  2, [&](int) { later.fetch_add(1); }, [] {}),
              RunMode::kThreaded);
    EXPECT_EQ(later.load(), 2) << "the crew serves rounds after the exception";
  }
  EXPECT_EQ(testing::live_workers(), 0);
}

}  // namespace
}  // namespace tmlib
