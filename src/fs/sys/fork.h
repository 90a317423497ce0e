// The process's place in its line of forks, for state that a child of fork
// copies from its parent but must not use as its own: a thread's handle, a
// claim taken by a thread, a descriptor shared with the parent. Thread-safe.
#pragma once

#include <cstdint>

namespace tolvane::sys {

// A number that grows by one in every child of fork(2) (never 0), read with
// one relaxed load: a value recorded by this process equals it, one recorded
// by an ancestor (found in memory the child copied) does not.
uint64_t ForkGeneration();

}  // namespace tolvane::sys
