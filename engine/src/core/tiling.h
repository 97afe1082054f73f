// SPDX-License-Identifier: MIT
// The engine's one worker-tiling facility.
//
// Every threaded operator splits its work the same way: nbProc joinable threads (at most
// 32), one argument record each, a disjoint range per worker, all joined before the call
// returns, and the whole range on the calling thread when threading is off or a thread
// cannot be created. The three range splits are the functions below; run_workers is the
// spawner. Callers pass a worker body over its index and a sequential body for the whole
// range; per-worker results go into caller-owned arrays indexed by worker and are combined
// after the join, so inner loops never write shared data.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace tmlib {

constexpr int kMaxWorkers = 32;

// Clamps a requested worker count to 0..32.
int clamp_workers(std::intptr_t requested);

// Rows [start, start + rows) of a grid.
struct RowBand {
  int start = 0;
  int rows = 0;
};

// Pointwise kernels: worker k of P takes rows from floor(H/P)*k; the last worker takes the
// remainder. Workers beyond the rows get an empty band.
RowBand pointwise_band(int height, int workers, int k);

// Row kernels with a one-row halo: the band includes a read-only row above and below the
// rows the worker updates. Band k updates grid rows floor(H/P)*k .. floor(H/P)*(k+1)-1,
// the first band from row 1, the last to row H-2. A worker with nothing to update (more
// workers than interior rows) gets rows = 0 and must do nothing.
RowBand halo_band(int height, int workers, int k);

// Vector kernels: elements [start, start + count).
struct Chunk {
  std::int64_t start = 0;
  std::int64_t count = 0;
};

// chunk = floor(n/P) rounded up to a multiple of 4; the last worker, or one whose chunk
// would pass n, takes what remains; a worker starting beyond n gets nothing.
Chunk vector_chunk(std::int64_t n, int workers, int k);

enum class RunMode {
  kSequential,  // workers <= 1: the sequential body ran on the calling thread
  kThreaded,    // every worker ran on its own thread
  kFellBack,    // a thread could not be created: started workers were joined, then the
                // sequential body ran on the calling thread
};

namespace detail {
using WorkerFn = void (*)(void *context, int index);
using SequentialFn = void (*)(void *context);
// sequential == nullptr: on a failed creation the calling thread runs the bodies of the
// workers that were not started, worker(k) for k = started .. workers-1.
RunMode run_workers_impl(int workers, WorkerFn worker, void *workerContext, SequentialFn sequential,
                         void *sequentialContext);
}  // namespace detail

// Runs worker(k) for k = 0 .. workers-1 on joinable threads and joins them all in index
// order. workers <= 1 runs sequential() on the calling thread instead. When creating a
// thread fails, no further thread is created, the ones already started are joined, and
// sequential() runs over the whole range; the caller's buffers must therefore tolerate the
// early workers' writes (they compute the same values the sequential body does).
template <typename Worker, typename Sequential>
RunMode run_workers(int workers, Worker &&worker, Sequential &&sequential) {
  using W = std::remove_reference_t<Worker>;
  using S = std::remove_reference_t<Sequential>;
  return detail::run_workers_impl(
      workers, [](void *c, int k) { (*static_cast<W *>(c))(k); }, static_cast<void *>(&worker),
      [](void *c) { (*static_cast<S *>(c))(); }, static_cast<void *>(&sequential));
}

// For kernels that update a buffer in place and must not run twice over the same range
// (x <- x + a*p): on a failed creation the calling thread runs the bodies of the workers
// that could not be started, so every range is done exactly once and the result is the
// same as a full threaded run. workers <= 1 runs worker(0), which must then cover the
// whole range (the split functions above give the whole range for one worker).
template <typename Worker>
RunMode run_workers_finishing_inline(int workers, Worker &&worker) {
  using W = std::remove_reference_t<Worker>;
  if (workers <= 1) {
    worker(0);
    return RunMode::kSequential;
  }
  return detail::run_workers_impl(
      workers, [](void *c, int k) { (*static_cast<W *>(c))(k); }, static_cast<void *>(&worker), nullptr, nullptr);
}

// What the most recent failed thread creation on the calling thread returned (an errno
// value such as EAGAIN), 0 if none has failed yet. Meaningful right after a run that
// returned kFellBack.
int last_creation_error();

// Keeps the worker threads of one engine call alive between its rounds.
//
// An engine call that runs many short threaded rounds (a solve does several vector
// operations per iteration) would otherwise spend much of its time creating and joining
// threads. While a WorkerCrew lives on a thread, run_workers calls made from that thread
// with the crew's worker count hand their bodies to the crew's threads instead: the same
// ranges, the same worker indices, the same join-all barrier per round, so results are
// bit-identical to fresh threads. The threads are created by the first such round (a
// failed creation there falls back exactly like run_workers, and later rounds then create
// threads as usual) and joined when the crew goes out of scope, so no thread outlives the
// engine call. A crew made while another is active on the thread does nothing.
class WorkerCrew {
 public:
  explicit WorkerCrew(std::intptr_t workers);
  ~WorkerCrew();
  WorkerCrew(const WorkerCrew &) = delete;
  WorkerCrew &operator=(const WorkerCrew &) = delete;

  struct State;

 private:
  State *state_ = nullptr;
};

// Test seams. fail_thread_creation_at(n): the n-th thread creation (0-based) made from the
// calling thread from now on fails once; a negative n switches the seam off.
// live_workers(): worker threads currently running, over the whole process.
namespace testing {
void fail_thread_creation_at(int n);
int live_workers();
}  // namespace testing

}  // namespace tmlib
