#include "fs/pool/per_thread.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "fs/pool/pool.h"

namespace tolvane {
namespace {

struct Tally {
  std::thread::id owner;
  size_t count = 0;
};

// Threads of the pool and threads of their own, each counting into its own
// Tally: every count arrives, each Tally has one owner, and each owner one
// Tally.
TEST(PerThreadTest, EachThreadHasItsOwn) {
  PerThread<Tally> tallies;
  auto count = [&] {
    Tally& mine = tallies.local();
    if (mine.count == 0) mine.owner = std::this_thread::get_id();
    EXPECT_EQ(mine.owner, std::this_thread::get_id());
    ++mine.count;
  };
  ParallelFor(10000, [&](size_t) { count(); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) count();
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::map<std::thread::id, size_t> owners;
  size_t total = 0;
  for (const Tally& tally : tallies) {
    ++owners[tally.owner];
    total += tally.count;
  }
  EXPECT_EQ(total, 18000u);
  for (const auto& [owner, tallies_of_owner] : owners) {
    EXPECT_EQ(tallies_of_owner, 1u);
  }
}

// A container made where the last one was, in the same thread, starts empty.
TEST(PerThreadTest, ANewContainerStartsAfresh) {
  for (int round = 0; round < 3; ++round) {
    PerThread<std::vector<int>> lists;
    EXPECT_TRUE(lists.local().empty());
    lists.local().push_back(round);
    EXPECT_EQ(std::distance(lists.begin(), lists.end()), 1);
  }
}

}  // namespace
}  // namespace tolvane
