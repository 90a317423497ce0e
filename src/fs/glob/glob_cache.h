// GlobCache: the index's bounded map from pattern text to compiled GlobMatcher.
// Keys are the exact pattern bytes; a full cache drops the first entry of an
// iteration, with no notion of recency. Each ShardedMap shard lock is held for
// one look-up, count, removal or insertion and never during a compile; callers
// get their own copies, so eviction never touches a matcher in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "fs/error/fs_error.h"
#include "fs/glob/glob.h"
#include "fs/sharded/sharded_map.h"

namespace tolvane {

class GlobCache {
 public:
  static constexpr uint64_t kCapacity = 128;

  // The matcher for `pattern`, compiled at most once while it stays cached. A
  // pattern that fails to compile returns its Glob error and leaves the cache
  // unchanged. The bound is exact for calls that don't overlap (the binding
  // layer serialises them); overlapping misses may each insert after one
  // eviction of the same victim, and the surplus then stays, since every later
  // miss evicts one entry and inserts one.
  [[nodiscard]] Result<GlobMatcher> compiled_glob(std::string_view pattern);

  size_t size() const { return entries_.Size(); }
  // Looks without compiling or inserting.
  bool Contains(std::string_view pattern) const {
    return entries_.Get(pattern).has_value();
  }

 private:
  // Hashes std::string keys and std::string_view probes alike, so a hit copies
  // no key.
  struct PatternHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };

  ShardedMap<std::string, GlobMatcher, PatternHash, std::equal_to<>> entries_;
};

}  // namespace tolvane
