#include "fs/io/read_batch.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <optional>
#include <unordered_map>

#include "fs/io/read.h"
#include "fs/pool/pool.h"
#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

constexpr size_t kParallelThreshold = 30;

std::optional<std::string> ReadOrNothing(const std::string& path) {
  auto content = read_file(path);
  if (!content) return std::nullopt;
  return std::move(*content);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> read_batch(
    const std::vector<std::string>& paths) {
  std::vector<std::optional<std::string>> contents(paths.size());
  auto read_range = [&](const tbb::blocked_range<size_t>& range) {
    for (size_t i = range.begin(); i != range.end(); ++i)
      contents[i] = ReadOrNothing(paths[i]);
  };
  tbb::blocked_range<size_t> all(0, paths.size());
  if (paths.size() < kParallelThreshold) {
    read_range(all);
  } else {
    RunInPool([&] { tbb::parallel_for(all, read_range); });
  }

  std::vector<std::pair<std::string, std::string>> entries;
  std::unordered_map<std::string, size_t>
      position;  // key -> index in `entries`
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!contents[i]) continue;
    std::string key = ToUtf8Lossy(paths[i]);
    auto [it, inserted] = position.try_emplace(std::move(key), entries.size());
    if (inserted) {
      entries.emplace_back(it->first, std::move(*contents[i]));
    } else {
      entries[it->second].second = std::move(*contents[i]);
    }
  }
  return entries;
}

}  // namespace tolvane::io
