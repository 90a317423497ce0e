// The process-wide worker pool for parallel reads, filters and searches: its
// threads, all started when the pool is made, one at a time from the calling
// thread, so that a thread the system refuses is an exception there and never
// an abort elsewhere; the pool keeps the threads it got and never starts
// another. (oneTBB's scheduler can't promise that: it starts further workers
// whenever demand returns before its idle ones are asleep, also from its own
// threads, where a refused start ends the process.) A child of fork, which has
// none of the parent's workers, makes a pool of its own at first use.
// Thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

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

namespace internal {
using IndexTask = void (*)(void* body, size_t index);
void RunParallel(size_t count, IndexTask task, void* body);
}  // namespace internal

// Runs `body(i)` for every i in [0, count) and waits: the calling thread takes
// indices one at a time, and idle workers join in. The waiting thread runs only
// this call's indices, so workers stuck in another call's slow tasks can't keep
// it from finishing. The first exception a call of `body` throws is rethrown
// here once every index handed out is done; no index is handed out after it.
// Results that the calls wrote are visible to the caller afterwards.
template <typename Body>
void ParallelFor(size_t count, Body&& body) {
  auto* target = std::addressof(body);
  internal::RunParallel(
      count,
      [](void* erased, size_t index) {
        (*static_cast<decltype(target)>(erased))(index);
      },
      const_cast<void*>(static_cast<const void*>(target)));
}

}  // namespace tolvane
