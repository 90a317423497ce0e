// Benchmark driver: sets up the watches of ROOT and every directory below it
// as a FileSystem's watcher does, and prints the seconds that took, so the
// set-up can be timed without the index build that competes with it in the
// constructor.
// Usage: watch_setup ROOT
#include <chrono>
#include <iostream>

#include "fs/watcher/file_watcher.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: watch_setup ROOT\n";
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  auto watcher = tolvane::create_watcher(argv[1]);
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  if (!watcher) {
    std::cerr << watcher.error().message() << '\n';
    return 1;
  }
  std::cout << took.count() << '\n';
  return 0;
}
