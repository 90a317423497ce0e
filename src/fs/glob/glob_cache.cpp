#include "fs/glob/glob_cache.h"

#include <new>
#include <optional>
#include <utility>

namespace tolvane {

Result<GlobMatcher> GlobCache::compiled_glob(std::string_view pattern) {
  if (std::optional<GlobMatcher> hit = entries_.Get(pattern))
    return *std::move(hit);
  Result<GlobMatcher> compiled = GlobMatcher::Compile(pattern);
  if (!compiled) return compiled;
  try {
    if (entries_.Size() >= kCapacity) {
      if (std::optional<std::string> victim = entries_.FirstKey())
        entries_.Remove(*victim);
    }
    entries_.Insert(std::string(pattern), *compiled);
  } catch (const std::bad_alloc&) {
    // Caching is only an economy: without room for the entry the caller still
    // gets its matcher.
  }
  return compiled;
}

}  // namespace tolvane
