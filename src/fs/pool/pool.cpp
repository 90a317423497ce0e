#include "fs/pool/pool.h"

#include <cstdlib>
#include <string>
#include <thread>

namespace tolvane {
namespace {

size_t ConfiguredThreads() {
  if (const char* value = std::getenv("RAYON_NUM_THREADS")) {
    char* end = nullptr;
    unsigned long n = std::strtoul(value, &end, 10);
    if (end != value && *end == '\0' && n > 0) return n;
  }
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

}  // namespace

size_t WorkerCount() {
  static const size_t count = ConfiguredThreads();
  return count;
}

tbb::task_arena& WorkerPool() {
  // Never destroyed: worker threads may still be inside it while the process
  // exits.
  static tbb::task_arena* arena =
      new tbb::task_arena(static_cast<int>(WorkerCount()));
  return *arena;
}

}  // namespace tolvane
