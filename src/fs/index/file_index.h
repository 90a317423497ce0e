// FileIndex: the in-memory picture of the tree under one root — `files` (path
// -> FileMetadata, directories included), `file_list` (the non-directory paths,
// under a readers-writer lock with a failure mark), the glob cache, and the
// `ready`/`building` flags. Shared by the FileSystem object, its build thread
// and its maintenance thread. Lock order: `file_list_mutex_` first, then one
// shard lock (of `files_` or the glob cache) at a time; no shard lock is held
// while waiting for `file_list_mutex_`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "fs/error/fs_error.h"
#include "fs/error/records.h"
#include "fs/glob/glob_cache.h"
#include "fs/ignore/walk.h"
#include "fs/index/path_ref.h"
#include "fs/path/path.h"
#include "fs/sharded/sharded_map.h"

namespace tolvane {

// One path of a listing: the stored text and where its root-relative part
// begins. The text may hold invalid UTF-8; the relative text handed out is its
// lossy conversion.
struct ListedPath {
  PathRef path;
  uint32_t offset;
  std::string_view relative() const { return path.view().substr(offset); }
};

class FileIndex {
 public:
  // How a full build walks the tree; ParallelWalk except in tests.
  using Walker = std::function<void(const std::string&, const WalkVisitor&)>;

  // `root` exactly as the FileSystem was given it.
  explicit FileIndex(std::string root, Walker walker = ParallelWalk);

  const std::string& root() const { return root_; }

  // The full build: claims `building`, clears `files`, walks the tree honouring
  // ignore files and replaces `file_list`. Returns at once when another build
  // runs. Never fails.
  Status rebuild();
  bool is_ready() const { return ready_.load(); }

  // Root-relative paths of the entries matching `pattern` ("**" and "**/*"
  // match everything): `file_list` order when `only_files`, else every key of
  // `files`. IndexBuilding before the first build completes; Glob when the
  // pattern doesn't compile.
  Result<std::vector<ListedPath>> list_matching(std::string_view pattern,
                                                bool only_files);

  // A copy of the entry for `path` (component-wise look-up), if any.
  std::optional<FileMetadata> metadata(std::string_view path) const;

  // `path` relative to the root (the whole path when not under it), as UTF-8
  // text.
  std::string relative_path(std::string_view path) const;

  size_t glob_cache_size() const { return glob_cache_.size(); }

 private:
  using FileMap = ShardedMap<PathRef, FileMetadata, PathHasher, PathEq>;

  void IndexEntry(const std::string& path, std::vector<PathRef>* collected);
  uint32_t RelativeOffset(std::string_view path) const;
  bool GlobKeeps(const GlobMatcher& matcher, const ListedPath& entry) const;
  std::vector<ListedPath> ListFiles(const GlobMatcher* matcher) const;
  std::vector<ListedPath> ListAllEntries(const GlobMatcher* matcher) const;

  const std::string root_;
  const Walker walker_;
  FileMap files_;
  GlobCache glob_cache_;
  mutable std::shared_mutex file_list_mutex_;
  bool file_list_failed_ = false;   // guarded by file_list_mutex_; set for good
  std::vector<PathRef> file_list_;  // guarded by file_list_mutex_
  std::atomic<bool> ready_{false};
  std::atomic<bool> building_{false};
};

}  // namespace tolvane
