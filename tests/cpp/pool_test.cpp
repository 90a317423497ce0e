#include "fs/pool/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace tolvane {
namespace {

// While every worker is stuck in one caller's tasks, another caller's loop
// still ends: its waiting thread runs its own tasks and never one of the
// stuck caller's.
TEST(PoolTest, AWaitingCallerRunsOnlyItsOwnTasks) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread stuck([&] {
    ParallelFor(WorkerCount() * 64, [&](size_t) { released.wait(); });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::atomic<size_t> done{0};
  auto other = std::async(std::launch::async, [&] {
    ParallelFor(200, [&](size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++done;
    });
  });
  const bool finished =
      other.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release.set_value();
  stuck.join();
  other.wait();
  EXPECT_TRUE(finished);
  EXPECT_EQ(done.load(), 200u);
}

}  // namespace
}  // namespace tolvane
