// SPDX-License-Identifier: MIT
#include "core/tiling.h"

#include <pthread.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <new>

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
thread_local int lastCreationError = 0;
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

// pthread_create, or the seam's failure reported as the system's "no resources" (EAGAIN).
// A failure is remembered for last_creation_error().
int create_thread(pthread_t *thread, const pthread_attr_t *attr, void *(*entry)(void *), void *arg) {
  const int result = seam_says_fail() ? EAGAIN : pthread_create(thread, attr, entry, arg);
  if (result != 0) lastCreationError = result;
  return result;
}

}  // namespace

// The crew's shared state. Rounds are announced by bumping `generation`; each crew thread
// runs its index's body once per generation and counts itself off in `pending`. The
// calling thread runs index 0 itself, so a round of P workers wakes P - 1 threads.
namespace {
struct CrewMember {
  WorkerCrew::State *crew;
  int index;
};
}  // namespace

struct WorkerCrew::State {
  int workers = 0;
  int started = 0;  // crew threads running (indices 1 .. started)
  bool broken = false;
  bool inRound = false;  // a round is under way: a body on the calling thread must not reuse the crew
  pthread_t threads[kMaxWorkers];
  CrewMember members[kMaxWorkers];
  detail::WorkerFn fn = nullptr;
  void *context = nullptr;
  std::atomic<std::uint32_t> generation{0};
  std::atomic<int> pending{0};
  std::atomic<bool> stop{false};
};

namespace {

thread_local WorkerCrew::State *activeCrew = nullptr;

// Short waits are spun (a round of a solve lasts tens of microseconds, less than a sleep and
// wake-up costs); longer ones sleep on the atomic.
template <typename T, typename Pred>
void wait_until(std::atomic<T> &value, Pred done) {
  for (int spin = 0; spin < 2000; ++spin) {
    if (done(value.load(std::memory_order_acquire))) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  for (T seen = value.load(std::memory_order_acquire); !done(seen); seen = value.load(std::memory_order_acquire)) {
    value.wait(seen, std::memory_order_acquire);
  }
}

void *crew_thread(void *arg) {
  WorkerCrew::State *crew = static_cast<CrewMember *>(arg)->crew;
  const int index = static_cast<CrewMember *>(arg)->index;
  std::uint32_t seen = 0;
  for (;;) {
    wait_until(crew->generation, [seen](std::uint32_t g) { return g != seen; });
    seen = crew->generation.load(std::memory_order_acquire);
    if (crew->stop.load(std::memory_order_acquire)) break;
    crew->fn(crew->context, index);
    if (crew->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) crew->pending.notify_one();
  }
  liveWorkers.fetch_sub(1, std::memory_order_acq_rel);
  return nullptr;
}

void stop_crew(WorkerCrew::State *crew) {
  if (crew->started == 0) return;
  crew->stop.store(true, std::memory_order_release);
  crew->generation.fetch_add(1, std::memory_order_acq_rel);
  crew->generation.notify_all();
  for (int k = 1; k <= crew->started; ++k) pthread_join(crew->threads[k], nullptr);
  crew->started = 0;
  crew->stop.store(false, std::memory_order_release);
}

// Creates the crew's threads; false when a creation failed (the ones started are joined).
bool start_crew(WorkerCrew::State *crew) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  bool ok = true;
  for (int k = 1; k < crew->workers; ++k) {
    crew->members[k] = {crew, k};
    liveWorkers.fetch_add(1, std::memory_order_acq_rel);
    if (create_thread(&crew->threads[k], &attr, crew_thread, &crew->members[k]) != 0) {
      liveWorkers.fetch_sub(1, std::memory_order_acq_rel);
      ok = false;
      break;
    }
    crew->started = k;
  }
  pthread_attr_destroy(&attr);
  if (!ok) stop_crew(crew);
  return ok;
}

// One round on the crew: index 0 on the calling thread, the others on the crew. The round
// is over only when every crew thread has counted itself off, also when index 0's body
// throws: the other bodies still use the caller's context, which unwinding would free.
void run_round(WorkerCrew::State *crew, detail::WorkerFn worker, void *context) {
  struct RoundEnd {
    WorkerCrew::State *crew;
    ~RoundEnd() {
      wait_until(crew->pending, [](int left) { return left == 0; });
      crew->inRound = false;
    }
  };
  crew->fn = worker;
  crew->context = context;
  crew->inRound = true;
  crew->pending.store(crew->workers - 1, std::memory_order_release);
  crew->generation.fetch_add(1, std::memory_order_acq_rel);
  crew->generation.notify_all();
  const RoundEnd end{crew};
  worker(context, 0);
}

}  // namespace

WorkerCrew::WorkerCrew(std::intptr_t workers) {
  const int count = clamp_workers(workers);
  if (count <= 1 || activeCrew != nullptr) return;
  state_ = new (std::nothrow) State;
  if (state_ == nullptr) return;
  state_->workers = count;
  activeCrew = state_;
}

WorkerCrew::~WorkerCrew() {
  if (state_ == nullptr) return;
  stop_crew(state_);
  activeCrew = nullptr;
  delete state_;
}

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
  WorkerCrew::State *crew = activeCrew;
  // A round started from inside a body of the crew's own round (index 0 runs on this
  // thread) must not announce a new round to threads still busy with the current one.
  if (crew != nullptr && !crew->broken && !crew->inRound && crew->workers == workers) {
    if (crew->started > 0 || start_crew(crew)) {
      run_round(crew, worker, workerContext);
      return RunMode::kThreaded;
    }
    // The crew could not be staffed: this round falls back like a failed spawn, and later
    // rounds create their own threads.
    crew->broken = true;
    if (sequential != nullptr) {
      sequential(sequentialContext);
    } else {
      for (int k = 0; k < workers; ++k) worker(workerContext, k);
    }
    return RunMode::kFellBack;
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
    if (create_thread(&threads[k], &attr, worker_entry, &records[k]) != 0) {
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

int last_creation_error() { return lastCreationError; }

namespace testing {
void fail_thread_creation_at(int n) { failCountdown = n; }
int live_workers() { return liveWorkers.load(std::memory_order_acquire); }
}  // namespace testing

}  // namespace tmlib
