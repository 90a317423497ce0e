#include "fs/index/file_index.h"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <mutex>

#include "fs/index/metadata.h"
#include "fs/pool/pool.h"
#include "fs/sys/file.h"
#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

// At or above this many `file_list` entries, listing runs on the worker pool.
constexpr size_t kParallelThreshold = 500;

bool MatchesEverything(std::string_view pattern) {
  return pattern == "**" || pattern == "**/*";
}

// Runs `visit(begin, end, chunk)` over `count` items split into contiguous
// chunks on the pool; returns the number of chunks. Chunk k covers [k*size,
// min(count, (k+1)*size)).
template <typename Visit>
size_t ForChunks(size_t count, Visit&& visit) {
  size_t chunks = std::min(count, WorkerCount() * 4);
  size_t size = (count + chunks - 1) / chunks;
  chunks = (count + size - 1) / size;
  RunInPool([&] {
    tbb::parallel_for(size_t{0}, chunks, [&](size_t k) {
      visit(k * size, std::min(count, (k + 1) * size), k);
    });
  });
  return chunks;
}

}  // namespace

FileIndex::FileIndex(std::string root, Walker walker)
    : root_(std::move(root)), walker_(std::move(walker)) {}

uint32_t FileIndex::RelativeOffset(std::string_view path) const {
  // Paths the walk made begin with the root's own text and a separator.
  std::string_view root = root_;
  if (path.size() > root.size() && path.starts_with(root) &&
      (root.ends_with('/') || path[root.size()] == '/')) {
    size_t offset = root.size();
    // Skip separators and "." components that component-wise stripping would
    // skip.
    for (;;) {
      if (offset < path.size() && path[offset] == '/') {
        ++offset;
      } else if (path.substr(offset).starts_with("./") ||
                 path.substr(offset) == ".") {
        offset += 1;
      } else {
        break;
      }
    }
    return static_cast<uint32_t>(std::min(offset, path.size()));
  }
  auto rest = StripRoot(path, root);
  if (!rest) return 0;
  return static_cast<uint32_t>(rest->empty() ? path.size()
                                             : rest->data() - path.data());
}

std::string FileIndex::relative_path(std::string_view path) const {
  return ToUtf8Lossy(path.substr(RelativeOffset(path)));
}

void FileIndex::IndexEntry(const std::string& path,
                           std::vector<PathRef>* collected) {
  struct stat record;
  if (::lstat(path.c_str(), &record) != 0) return;
  FileMetadata metadata = MetadataFromStat(record, path);
  PathRef ref(path);
  files_.Insert(ref, metadata);
  if (!metadata.is_dir) collected->push_back(std::move(ref));
}

Status FileIndex::rebuild() {
  bool expected = false;
  if (!building_.compare_exchange_strong(expected, true)) return {};
  ready_.store(false);
  files_.Clear();

  // One collector per walk thread, joined after the walk: no lock per entry.
  tbb::enumerable_thread_specific<std::vector<PathRef>> collectors;
  walker_(root_, [&](const WalkEntry& entry) {
    if (entry.is_error() || entry.depth == 0) return;
    IndexEntry(std::string(entry.path), &collectors.local());
  });
  std::vector<PathRef> collected;
  size_t total = 0;
  for (const auto& part : collectors) total += part.size();
  collected.reserve(total);
  for (auto& part : collectors) {
    std::move(part.begin(), part.end(), std::back_inserter(collected));
  }

  {
    std::unique_lock lock(file_list_mutex_);
    if (!file_list_failed_) {
      try {
        file_list_.swap(collected);
      } catch (...) {
        file_list_failed_ = true;
      }
    }
  }
  ready_.store(true);
  building_.store(false);
  return {};
}

bool FileIndex::GlobKeeps(const GlobMatcher& matcher,
                          const ListedPath& entry) const {
  if (entry.path.is_utf8()) return matcher.Matches(entry.relative());
  return matcher.Matches(ToUtf8Lossy(entry.relative()));
}

std::vector<ListedPath> FileIndex::ListFiles(const GlobMatcher* matcher) const {
  auto listed = [this](const PathRef& path) {
    return ListedPath{path, RelativeOffset(path.view())};
  };
  size_t count = file_list_.size();
  std::vector<ListedPath> result;
  if (count < kParallelThreshold) {
    result.reserve(matcher ? 0 : count);
    for (const PathRef& path : file_list_) {
      ListedPath entry = listed(path);
      if (matcher == nullptr || GlobKeeps(*matcher, entry))
        result.push_back(std::move(entry));
    }
    return result;
  }
  if (matcher == nullptr) {
    result.resize(count);
    ForChunks(count, [&](size_t begin, size_t end, size_t) {
      for (size_t i = begin; i < end; ++i) result[i] = listed(file_list_[i]);
    });
    return result;
  }
  std::vector<std::vector<ListedPath>> pieces(
      std::min(count, WorkerCount() * 4));
  size_t used = ForChunks(count, [&](size_t begin, size_t end, size_t chunk) {
    for (size_t i = begin; i < end; ++i) {
      ListedPath entry = listed(file_list_[i]);
      if (GlobKeeps(*matcher, entry)) pieces[chunk].push_back(std::move(entry));
    }
  });
  size_t total = 0;
  for (size_t k = 0; k < used; ++k) total += pieces[k].size();
  result.reserve(total);
  for (size_t k = 0; k < used; ++k) {
    std::move(pieces[k].begin(), pieces[k].end(), std::back_inserter(result));
  }
  return result;
}

std::vector<ListedPath> FileIndex::ListAllEntries(
    const GlobMatcher* matcher) const {
  std::vector<ListedPath> result;
  files_.ForEach([&](const PathRef& path, const FileMetadata&) {
    ListedPath entry{path, RelativeOffset(path.view())};
    if (matcher == nullptr || GlobKeeps(*matcher, entry))
      result.push_back(std::move(entry));
  });
  return result;
}

Result<std::vector<ListedPath>> FileIndex::list_matching(
    std::string_view pattern, bool only_files) {
  if (!ready_.load()) return Fail(FsError::IndexBuilding());
  std::shared_lock lock(file_list_mutex_);
  if (file_list_failed_)
    return Fail(FsError::Internal("Failed to acquire read lock"));
  std::optional<GlobMatcher> matcher;
  if (!MatchesEverything(pattern)) {
    auto compiled = glob_cache_.compiled_glob(pattern);
    if (!compiled) return Fail(std::move(compiled.error()));
    matcher.emplace(std::move(*compiled));
  }
  const GlobMatcher* filter = matcher ? &*matcher : nullptr;
  return only_files ? ListFiles(filter) : ListAllEntries(filter);
}

std::optional<FileMetadata> FileIndex::metadata(std::string_view path) const {
  return files_.Get(path);
}

}  // namespace tolvane
