#include "fs/io/read_batch.h"

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
  auto read_one = [&](size_t i) { contents[i] = ReadOrNothing(paths[i]); };
  if (paths.size() < kParallelThreshold) {
    for (size_t i = 0; i < paths.size(); ++i) read_one(i);
  } else {
    ParallelFor(paths.size(), read_one);
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
