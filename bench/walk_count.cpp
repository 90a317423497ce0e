// Benchmark driver: walks ROOT with the index build's parallel walk and prints
// the number of entries delivered (the root included, walk errors not), so the
// walk can be timed as a process beside other tree listers.
// Usage: walk_count ROOT
#include <atomic>
#include <cstddef>
#include <iostream>
#include <string>

#include "fs/ignore/walk.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: walk_count ROOT\n";
    return 2;
  }
  std::atomic<size_t> entries{0};
  tolvane::ParallelWalk(argv[1], [&entries](const tolvane::WalkEntry& entry) {
    if (!entry.is_error()) entries.fetch_add(1, std::memory_order_relaxed);
  });
  std::cout << entries.load() << '\n';
  return 0;
}
