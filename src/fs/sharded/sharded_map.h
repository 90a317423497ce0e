// ShardedMap: a concurrent hash map split into independently locked shards (4 x
// processors, rounded up to a power of two), each a hash table under its own
// std::shared_mutex. No operation holds two shard locks at once; values are
// handed out as copies, never as references.
#pragma once

#include <bit>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tolvane {

inline size_t DefaultShardCount() {
  unsigned processors = std::thread::hardware_concurrency();
  if (processors == 0) return 4;
  return std::bit_ceil(static_cast<size_t>(processors) * 4);
}

template <typename K, typename V, typename Hash = std::hash<K>,
          typename Eq = std::equal_to<K>>
class ShardedMap {
 public:
  explicit ShardedMap(size_t shard_count = DefaultShardCount())
      : shards_(std::bit_ceil(shard_count == 0 ? size_t{1} : shard_count)) {}

  template <typename Key>
  std::optional<V> Get(const Key& key) const {
    const Shard& shard = ShardFor(key);
    std::shared_lock lock(shard.mutex);
    auto it = shard.table.find(key);
    if (it == shard.table.end()) return std::nullopt;
    return it->second;
  }

  // Inserts or replaces.
  void Insert(K key, V value) {
    Shard& shard = ShardFor(key);
    std::unique_lock lock(shard.mutex);
    shard.table.insert_or_assign(std::move(key), std::move(value));
  }

  template <typename Key>
  std::optional<V> Remove(const Key& key) {
    Shard& shard = ShardFor(key);
    std::unique_lock lock(shard.mutex);
    auto it = shard.table.find(key);
    if (it == shard.table.end()) return std::nullopt;
    std::optional<V> removed(std::move(it->second));
    shard.table.erase(it);
    return removed;
  }

  // Removes every entry for which pred(key, value) holds, shard by shard, each
  // under its write lock; other shards stay usable meanwhile.
  template <typename Pred>
  void EraseIf(Pred&& pred) {
    for (Shard& shard : shards_) {
      std::unique_lock lock(shard.mutex);
      std::erase_if(shard.table, [&](const auto& entry) {
        return pred(entry.first, entry.second);
      });
    }
  }

  // Exchanges the contents of every shard with `other`'s, which must have as
  // many shards and be used by no other thread; each shard of this map is
  // swapped under its write lock, so a reader finds a shard whole, old or new.
  void Swap(ShardedMap& other) {
    for (size_t i = 0; i < shards_.size(); ++i) {
      std::unique_lock lock(shards_[i].mutex);
      shards_[i].table.swap(other.shards_[i].table);
    }
  }

  // Sum of the shards' sizes, each read under its own lock.
  size_t Size() const {
    size_t total = 0;
    for (const Shard& shard : shards_) {
      std::shared_lock lock(shard.mutex);
      total += shard.table.size();
    }
    return total;
  }

  // Calls visit(key, value) for every entry, shard after shard, holding one
  // shard's read lock while it visits that shard's entries.
  template <typename Visit>
  void ForEach(Visit&& visit) const {
    for (const Shard& shard : shards_) {
      std::shared_lock lock(shard.mutex);
      for (const auto& [key, value] : shard.table) visit(key, value);
    }
  }

  // The first key an iteration would yield (first non-empty shard, its first
  // entry).
  std::optional<K> FirstKey() const {
    for (const Shard& shard : shards_) {
      std::shared_lock lock(shard.mutex);
      if (!shard.table.empty()) return shard.table.begin()->first;
    }
    return std::nullopt;
  }

  size_t shard_count() const { return shards_.size(); }

 private:
  struct Shard {
    mutable std::shared_mutex mutex;
    std::unordered_map<K, V, Hash, Eq> table;
  };

  template <typename Key>
  Shard& ShardFor(const Key& key) {
    return shards_[Spread(Hash{}(key)) & (shards_.size() - 1)];
  }
  template <typename Key>
  const Shard& ShardFor(const Key& key) const {
    return shards_[Spread(Hash{}(key)) & (shards_.size() - 1)];
  }
  // The tables use the low bits of the hash; shard by the high ones.
  static size_t Spread(size_t hash) {
    return (hash * 0x9E3779B97F4A7C15ULL) >> 40;
  }

  std::vector<Shard> shards_;
};

}  // namespace tolvane
