#include "fs/sys/fork.h"

#include <pthread.h>

#include <atomic>

namespace tolvane::sys {
namespace {

std::atomic<uint64_t> generation{1};

void CountFork() { generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded, before any of its state exists.
[[maybe_unused]] const int registered =
    pthread_atfork(nullptr, nullptr, CountFork);

}  // namespace

uint64_t ForkGeneration() { return generation.load(std::memory_order_relaxed); }

}  // namespace tolvane::sys
