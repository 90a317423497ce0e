// The process-wide worker pool for parallel reads, filters and searches: the
// oneTBB workers, all started when the pool is made, one at a time from the
// calling thread, so that a thread the system refuses is an exception there
// and never an abort on one of oneTBB's own threads; the pool then keeps the
// workers it got and never asks for more. Each parallel call runs in an arena
// of its own over those workers. Thread-safe.
#pragma once

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace tolvane {

// The width asked for by a RAYON_NUM_THREADS value: a decimal from 1 to
// kMaxPoolThreads; nullopt for anything else (the default then applies).
inline constexpr size_t kMaxPoolThreads = 1024;
std::optional<size_t> ParsePoolWidth(std::string_view text);

// Sets the width that the pool will be made with, from RAYON_NUM_THREADS's
// value as the caller read it (nullptr when unset; the processor count when it
// doesn't parse). Only a call before the pool's first use counts.
void ConfigureWorkerPool(const char* rayon_num_threads);

// The pool's width: the calling thread plus the workers that could be started.
size_t WorkerCount();

// Runs `body(i)` for every i in [0, count) on the pool and waits. Each call
// runs in an arena of its own (taken from a free list), sharing the pool's
// workers with the others: the waiting thread runs only this call's tasks, and
// workers stuck in another call's slow tasks can't keep it from finishing.
// Results that the tasks wrote are visible to the caller afterwards.
template <typename Body>
void ParallelFor(size_t count, Body&& body);

namespace internal {

// An arena of the pool's width for one call, returned to the free list when
// the lease ends.
class ArenaLease {
 public:
  ArenaLease();
  ~ArenaLease();
  ArenaLease(const ArenaLease&) = delete;
  ArenaLease& operator=(const ArenaLease&) = delete;
  tbb::task_arena& arena() { return *arena_; }

 private:
  tbb::task_arena* arena_;
};

}  // namespace internal

template <typename Body>
void ParallelFor(size_t count, Body&& body) {
#if defined(__SANITIZE_THREAD__)
  // oneTBB's hand-off of a task and its join are not instrumented: state them.
  char handoff = 0;
  __tsan_release(&handoff);
#endif
  internal::ArenaLease lease;
  lease.arena().execute([&] {
    tbb::parallel_for(size_t{0}, count, [&](size_t i) {
#if defined(__SANITIZE_THREAD__)
      __tsan_acquire(&handoff);
#endif
      body(i);
#if defined(__SANITIZE_THREAD__)
      __tsan_release(&handoff);
#endif
    });
  });
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(&handoff);
#endif
}

}  // namespace tolvane
