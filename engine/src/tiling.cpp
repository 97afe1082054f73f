// SPDX-License-Identifier: MIT
#include "tiling.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>

namespace tmlib {

int clamp_workers(std::intptr_t requested) {
  return static_cast<int>(std::clamp<std::intptr_t>(requested, 0, kMaxWorkers));
}

RowBand pointwise_band(int height, int workers, int k) {
  if (workers <= 1) return {0, height};
  const int rowsPer = height / workers;
  const int start = rowsPer * k;
  const int rows = (k == workers - 1) ? height - rowsPer * (workers - 1) : rowsPer;
  return {start, rows};
}

RowBand halo_band(int height, int workers, int k) {
  if (workers <= 1) return {0, height < 3 ? 0 : height};
  const int rowsPer = height / workers;
  const int first = std::max(1, rowsPer * k);
  const int last = (k == workers - 1) ? height - 2 : std::min(height - 2, rowsPer * (k + 1) - 1);
  if (last < first) return {first - 1, 0};
  return {first - 1, last - first + 3};
}

Chunk vector_chunk(std::int64_t n, int workers, int k) {
  if (workers <= 1) return {0, n};
  std::int64_t chunk = n / workers;
  if (chunk % 4 > 0) chunk = chunk - chunk % 4 + 4;
  const std::int64_t start = chunk * k;
  if (start >= n) return {start, 0};
  const bool takesRest = (k == workers - 1) || (start + chunk > n);
  return {start, takesRest ? n - start : chunk};
}

namespace {

thread_local int failCountdown = -1;
std::atomic<int> liveWorkers{0};

struct WorkerRecord {
  detail::WorkerFn fn;
  void *context;
  int index;
};

void *worker_entry(void *arg) {
  auto *record = static_cast<WorkerRecord *>(arg);
  record->fn(record->context, record->index);
  liveWorkers.fetch_sub(1, std::memory_order_acq_rel);
  return nullptr;
}

bool seam_says_fail() {
  if (failCountdown < 0) return false;
  if (failCountdown == 0) {
    failCountdown = -1;
    return true;
  }
  --failCountdown;
  return false;
}

}  // namespace

namespace detail {

RunMode run_workers_impl(int workers, WorkerFn worker, void *workerContext, SequentialFn sequential,
                         void *sequentialContext) {
  workers = std::min(workers, kMaxWorkers);
  if (workers <= 1) {
    if (sequential != nullptr) {
      sequential(sequentialContext);
    } else {
      worker(workerContext, 0);
    }
    return RunMode::kSequential;
  }
  pthread_t threads[kMaxWorkers];
  WorkerRecord records[kMaxWorkers];
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  int started = 0;
  bool failed = false;
  for (int k = 0; k < workers; ++k) {
    records[k] = {worker, workerContext, k};
    liveWorkers.fetch_add(1, std::memory_order_acq_rel);
    if (seam_says_fail() || pthread_create(&threads[k], &attr, worker_entry, &records[k]) != 0) {
      liveWorkers.fetch_sub(1, std::memory_order_acq_rel);
      failed = true;
      break;
    }
    ++started;
  }
  // Join everything that started before anything else touches the shared buffers.
  for (int k = 0; k < started; ++k) pthread_join(threads[k], nullptr);
  pthread_attr_destroy(&attr);
  if (failed) {
    if (sequential != nullptr) {
      sequential(sequentialContext);
    } else {
      for (int k = started; k < workers; ++k) worker(workerContext, k);
    }
    return RunMode::kFellBack;
  }
  return RunMode::kThreaded;
}

}  // namespace detail

namespace testing {
void fail_thread_creation_at(int n) { failCountdown = n; }
int live_workers() { return liveWorkers.load(std::memory_order_acquire); }
}  // namespace testing

}  // namespace tmlib
