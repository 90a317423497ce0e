#include "fs/pool/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

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

size_t ThreadCount() {
  using std::filesystem::directory_iterator;
  return std::distance(directory_iterator("/proc/self/task"),
                       directory_iterator());
}

// Callers that take turns, as Python threads do under the interpreter lock, so
// that demand comes and goes: the workers that the pool started serve them
// all, and no thread is started after it is made.
TEST(PoolTest, DemandComingAndGoingStartsNoThread) {
  ParallelFor(1, [](size_t) {});
  const size_t before = ThreadCount();
  constexpr size_t kCallers = 16, kRounds = 1000;
  std::mutex turn;
  size_t most = 0;  // guarded by turn
  std::atomic<size_t> sum{0};
  std::vector<std::thread> callers;
  for (size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&] {
      std::unique_lock held(turn);
      for (size_t round = 0; round < kRounds; ++round) {
        held.unlock();
        ParallelFor(40, [&](size_t i) { sum += i; });
        held.lock();
        most = std::max(most, ThreadCount());
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(sum.load(), kCallers * kRounds * (40 * 39 / 2));
  EXPECT_LE(most, before + kCallers);
}

TEST(PoolTest, AFailingTaskReachesTheCaller) {
  EXPECT_THROW(ParallelFor(1000,
                           [](size_t i) {
                             if (i == 500) throw std::runtime_error("task");
                           }),
               std::runtime_error);
}

}  // namespace
}  // namespace tolvane
