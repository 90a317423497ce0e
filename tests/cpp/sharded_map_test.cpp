// ShardedMap: single-threaded operations, shard-count rounding, path keys that
// are equal component-wise, and concurrent writers checked against a
// single-threaded model.
#include "fs/sharded/sharded_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fs/path/path.h"

namespace tolvane {
namespace {

using IntMap = ShardedMap<int, std::string>;

std::map<int, std::string> Contents(const IntMap& map) {
  std::map<int, std::string> out;
  map.ForEach([&](int key, const std::string& value) {
    EXPECT_TRUE(out.emplace(key, value).second) << "key visited twice: " << key;
  });
  return out;
}

TEST(ShardedMap, InsertReplaceRemoveClear) {
  IntMap map(8);
  EXPECT_EQ(map.Size(), 0u);
  EXPECT_EQ(map.Get(1), std::nullopt);

  map.Insert(1, "one");
  map.Insert(2, "two");
  EXPECT_EQ(map.Size(), 2u);
  EXPECT_EQ(map.Get(1), "one");

  map.Insert(1, "uno");  // replaces, does not add
  EXPECT_EQ(map.Size(), 2u);
  EXPECT_EQ(map.Get(1), "uno");

  EXPECT_EQ(map.Remove(1), "uno");
  EXPECT_EQ(map.Remove(1), std::nullopt);
  EXPECT_EQ(map.Get(1), std::nullopt);
  EXPECT_EQ(map.Size(), 1u);

  for (int i = 0; i < 100; ++i) map.Insert(i, std::to_string(i));
  EXPECT_EQ(map.Size(), 100u);
  IntMap other(map.shard_count());
  other.Insert(7, "seven");
  const auto before = Contents(map);
  map.Swap(other);
  EXPECT_EQ(Contents(map), (decltype(before){{7, "seven"}}));
  EXPECT_EQ(Contents(other), before);
}

TEST(ShardedMap, FirstKeyIsTheFirstEntryOfAnIteration) {
  IntMap map(16);
  EXPECT_EQ(map.FirstKey(), std::nullopt);
  map.Insert(42, "x");
  EXPECT_EQ(map.FirstKey(), 42);
  map.Remove(42);
  EXPECT_EQ(map.FirstKey(), std::nullopt);

  for (int i = 0; i < 50; ++i) map.Insert(i * 37, "v");
  std::optional<int> first_visited;
  map.ForEach([&](int key, const std::string&) {
    if (!first_visited) first_visited = key;
  });
  EXPECT_EQ(map.FirstKey(), first_visited);
  // Draining through FirstKey reaches every entry once.
  size_t removed = 0;
  while (auto key = map.FirstKey()) {
    ASSERT_TRUE(map.Remove(*key).has_value());
    ++removed;
  }
  EXPECT_EQ(removed, 50u);
  EXPECT_EQ(map.Size(), 0u);
}

TEST(ShardedMap, ShardCountIsAPowerOfTwo) {
  EXPECT_EQ(IntMap(0).shard_count(), 1u);
  EXPECT_EQ(IntMap(1).shard_count(), 1u);
  EXPECT_EQ(IntMap(3).shard_count(), 4u);
  EXPECT_EQ(IntMap(64).shard_count(), 64u);
  size_t processors = std::max(1u, std::thread::hardware_concurrency());
  EXPECT_TRUE(std::has_single_bit(DefaultShardCount()));
  EXPECT_GE(DefaultShardCount(), 4 * processors);
  EXPECT_LT(DefaultShardCount(), 8 * processors);
}

// The index keys paths component-wise: every spelling of a path lands on the
// same entry, whichever shard it hashes to.
TEST(ShardedMap, PathKeysMatchComponentWise) {
  ShardedMap<std::string, int, PathHasher, PathEq> map(64);
  for (int i = 0; i < 200; ++i) map.Insert("d" + std::to_string(i) + "/f", i);
  for (int i = 0; i < 200; ++i) {
    std::string spelling = "d" + std::to_string(i) + "//./f/";
    ASSERT_EQ(map.Get(spelling), i) << spelling;
  }
  map.Insert("d5/./f", 500);
  EXPECT_EQ(map.Size(), 200u);
  EXPECT_EQ(map.Get("d5/f"), 500);
  EXPECT_EQ(map.Remove("d5/f/"), 500);
  EXPECT_EQ(map.Get("./d6/f"), std::nullopt);
  EXPECT_EQ(map.Size(), 199u);
}

// Several writers at once: each owns a band of keys that it inserts, replaces
// and partly removes, and all of them insert the same values under a shared
// band. The result must equal the same operations applied one thread after
// another to a std::map.
TEST(ShardedMap, ConcurrentWritersMatchASingleThreadedModel) {
  constexpr int kThreads = 8;
  constexpr int kKeysPerThread = 4000;
  constexpr int kShared = 500;
  auto run = [](int thread, auto& insert, auto& remove) {
    int base = (thread + 1) * 1000000;
    for (int i = 0; i < kKeysPerThread; ++i) {
      insert(base + i, "first " + std::to_string(i));
      if (i % 3 == 0) insert(base + i, "second " + std::to_string(i));
      if (i % 5 == 0) remove(base + i);
      insert(i % kShared, "shared " + std::to_string(i % kShared));
    }
  };

  IntMap map(16);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&map, t, &run] {
      auto insert = [&](int k, std::string v) { map.Insert(k, std::move(v)); };
      auto remove = [&](int k) { map.Remove(k); };
      run(t, insert, remove);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<int, std::string> model;
  auto insert = [&](int k, std::string v) { model[k] = std::move(v); };
  auto remove = [&](int k) { model.erase(k); };
  for (int t = 0; t < kThreads; ++t) run(t, insert, remove);

  EXPECT_EQ(map.Size(), model.size());
  EXPECT_EQ(Contents(map), model);
  for (const auto& [key, value] : model) ASSERT_EQ(map.Get(key), value);
}

// Readers run while writers change other keys: a reader always sees either
// nothing or a whole value that some writer stored.
TEST(ShardedMap, ReadersSeeWholeValuesDuringWrites) {
  IntMap map(4);
  for (int i = 0; i < 100; ++i) map.Insert(i, std::string(64, 'a'));
  std::vector<std::thread> threads;
  std::atomic<bool> bad{false};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2000; ++round) {
        int key = (round * 7 + t) % 100;
        if (t % 2 == 0) {
          map.Insert(key, std::string(64, static_cast<char>('a' + round % 26)));
        } else if (auto value = map.Get(key)) {
          if (value->size() != 64 ||
              value->find_first_not_of(value->front()) != std::string::npos) {
            bad = true;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(bad);
  EXPECT_EQ(map.Size(), 100u);
}

}  // namespace
}  // namespace tolvane
