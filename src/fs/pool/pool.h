// The process-wide worker pool for parallel reads, filters and searches: one
// oneTBB arena, sized from RAYON_NUM_THREADS when it is set to a positive
// number and else the processor count, read once when the pool is first used.
// Thread-safe.
#pragma once

#include <tbb/task_arena.h>

#include <cstddef>
#include <utility>

namespace tolvane {

tbb::task_arena& WorkerPool();
size_t WorkerCount();

// Runs `work` inside the pool (its parallel algorithms use the pool's threads)
// and waits for it.
template <typename F>
decltype(auto) RunInPool(F&& work) {
  return WorkerPool().execute(std::forward<F>(work));
}

}  // namespace tolvane
