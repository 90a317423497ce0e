// FileIndex: the in-memory picture of the tree under one root — `files` (path
// -> FileMetadata, directories included), `file_list` (the non-directory paths,
// under a readers-writer lock with a failure mark), the glob cache, and the
// `ready`/`building` flags, and the directories that the last build couldn't
// read for want of descriptors. Shared by the FileSystem object, its build
// thread and its maintenance thread. Lock order: `build_end_mutex_`, then
// `unread_mutex_`, then `file_list_mutex_`, then one shard lock (of `files_` or
// the glob cache) at a time; no shard lock is held while waiting for
// `file_list_mutex_`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fs/error/fs_error.h"
#include "fs/error/records.h"
#include "fs/glob/glob_cache.h"
#include "fs/ignore/walk.h"
#include "fs/index/path_ref.h"
#include "fs/path/path.h"
#include "fs/sharded/sharded_map.h"

namespace tolvane {

// The result of a listing: root-relative texts (raw path bytes, to be decoded
// lossily) that stay valid while the Listing lives, because it holds the file
// list's read lock and the paths it took from `files`. Writers of the file list
// wait meanwhile: convert the texts and let it go.
class Listing {
 public:
  const std::vector<std::string_view>& texts() const { return texts_; }
  // The file list's generation that the listing saw.
  uint64_t generation() const { return generation_; }

 private:
  friend class FileIndex;
  std::shared_lock<std::shared_mutex> lock_;
  uint64_t generation_ = 0;
  std::vector<PathRef> held_;
  std::vector<std::string_view> texts_;
};

class FileIndex {
 public:
  // How a full build walks the tree; ParallelWalk except in tests.
  using Walker = std::function<void(const std::string&, const WalkVisitor&,
                                    const WalkOptions&)>;

  // `root` exactly as the FileSystem was given it; `git_environment` as the
  // caller read it, for the walks' global excludes file.
  explicit FileIndex(std::string root, GitEnvironment git_environment = {},
                     Walker walker = ParallelWalk);

  const std::string& root() const { return root_; }
  const GitEnvironment& git_environment() const { return git_environment_; }

  // The full build: claims `building`, walks the tree honouring ignore files
  // into a `files` and a `file_list` of its own, and puts both in place of the
  // old ones in one step at its end; until then queries answer from the old
  // ones. `ready` is false meanwhile unless `stay_ready` (a rebuild that
  // answers lost events keeps answering). Returns at once when another build
  // runs. Never fails; an exception (no memory, no thread) passes to the
  // caller with `building` released and the old index in place, so a later
  // build can run. Directories that stay unreadable for want of descriptors or
  // memory don't keep it from completing: they wait for read_unread or the
  // next build.
  Status rebuild(bool stay_ready = false);
  // Runs `changes` (single-path changes, read_unread) unless a full build is
  // under way, and keeps a build from putting its result in meanwhile; returns
  // whether it ran. A change the caller holds back until then is applied
  // over the build's result, which the build's walk, begun before the change
  // was seen, may not show.
  template <typename Changes>
  bool unless_building(Changes&& changes) {
    std::lock_guard lock(build_end_mutex_);
    if (building_.load()) return false;
    changes();
    return true;
  }
  // Reads the directories that the last build (or the last call) left unread
  // for want of descriptors or memory, and adds what they hold as that build
  // would have; those still unreadable wait for the next call. `ready` is left
  // as it is. The maintenance thread calls it on each pass.
  void read_unread();
  bool is_ready() const { return ready_.load(); }

  // Nobody will ask this index anything again (its object is gone): a build in
  // progress stops at its next directory, and later builds read nothing.
  void abandon() { abandoned_.store(true, std::memory_order_relaxed); }

  // Root-relative paths of the entries matching `pattern` ("**" and "**/*"
  // match everything): `file_list` order when `only_files`, else every key of
  // `files`. IndexBuilding before the first build completes; Glob when the
  // pattern doesn't compile.
  Result<Listing> list_matching(std::string_view pattern, bool only_files);

  // grep's candidates: copies of the `file_list` entries, in its order, whose
  // root-relative path matches `glob_pattern` ("**" and "**/*" match all
  // without a glob) and that `files` doesn't mark binary (absent counts as not
  // binary). IndexBuilding before the first build completes; Internal "Failed
  // to acquire read lock" when the list's lock carries the failure mark; Glob
  // when the pattern doesn't compile. No file-system access.
  Result<std::vector<std::string>> search_candidates(
      std::string_view glob_pattern);

  // "**" and "**/*", compared byte for byte, match every path without a glob.
  static bool matches_everything(std::string_view pattern) {
    return pattern == "**" || pattern == "**/*";
  }

  // Single-path changes between full builds, applied by the maintenance thread
  // without ignore rules and without walking. `path` is used as given.
  //
  // update_path adds or refreshes the entry of `path` from its own metadata (a
  // link's, as a build stores it); a non-directory is appended to `file_list`
  // unless it is listed already. An entry stored where the index holds one of
  // the other type (a directory where a file was, or a file or link where a
  // directory was) takes the old one out first, with every entry below it.
  // Succeeds without a change when the path is gone (its metadata can't be
  // read); no other failure is reported.
  Status update_path(const std::string& path);
  // Refreshes or adds the `files` entry of `path` alone (a content change);
  // nothing when the path is gone or its metadata can't be read.
  void update_metadata(const std::string& path);
  // Removes the entries of `paths`, as one change of `file_list`: a path's
  // `files` entry and its `file_list` entry, and for a directory every entry
  // below it in both. A path that `files` doesn't hold changes nothing. The
  // others keep their order. One pass over `file_list` (and over `files` when
  // a directory goes), however many paths.
  // `moved_dirs`, paths that left as directories, take what lies below them
  // even where `files` doesn't hold the directory (one that an ignore rule
  // left out, whose files the watcher has added since).
  void remove_paths(std::span<const std::string_view> paths,
                    std::span<const std::string_view> moved_dirs = {});
  // Whether a full build is running at this moment.
  bool is_building() const { return building_.load(); }
  // Whether a full build or any other change is under way on some thread.
  // A child of fork that finds one in the index it copied can't use the copy:
  // the parent's thread, which the child lacks, may hold its locks.
  bool is_changing() const {
    return is_building() || changes_under_way_.load() > 0;
  }

  // A copy of the entry for `path` (component-wise look-up), if any.
  std::optional<FileMetadata> metadata(std::string_view path) const;

  // `path` relative to the root (the whole path when not under it), as UTF-8
  // text.
  std::string relative_path(std::string_view path) const;

  // Changes whenever `file_list` changes, so that a caller can tell whether a
  // listing it made before is still current.
  uint64_t file_list_generation() const { return file_list_generation_.load(); }

  size_t glob_cache_size() const { return glob_cache_.size(); }

 private:
  using FileMap = ShardedMap<PathRef, FileMetadata, PathHasher, PathEq>;

  // With `file_list_mutex_` held: the failure mark's error, or the matcher of
  // `pattern` (none for the patterns that match everything).
  Result<std::optional<GlobMatcher>> LockedMatcher(std::string_view pattern);
  void IndexEntry(FileMap& files, const WalkEntry& entry,
                  std::vector<PathRef>* collected);
  // Runs `walk` with the visitor of a full build, storing into `files`;
  // returns the paths of the non-directories it stored.
  std::vector<PathRef> Collect(
      FileMap& files, const std::function<void(const WalkVisitor&)>& walk);
  // With `file_list_mutex_` held and the list not failed: appends each of
  // `paths` that isn't listed yet. A failure part way marks the list failed.
  void ListUnlisted(std::span<PathRef> paths);
  uint32_t RelativeOffset(std::string_view path) const;
  // Whether `matcher` (nullptr: no glob) keeps the root-relative path.
  static bool GlobKeeps(const GlobMatcher* matcher, const PathRef& path);
  void ListFiles(const GlobMatcher* matcher, Listing* listing) const;
  void ListAllEntries(const GlobMatcher* matcher, Listing* listing) const;
  void IndexMembers();
  // Stores the metadata of `path` (its own, a link's not followed) in `files`
  // and returns it; nullopt, with nothing stored, when the path is gone. Where
  // the index holds the path with the other type, the old entry is removed
  // first, with every entry below it.
  std::optional<FileMetadata> StoreMetadata(const std::string& path);
  // Counts a change other than a full build in changes_under_way_ while it
  // lives.
  class ChangeUnderWay;

  const std::string root_;
  const GitEnvironment git_environment_;
  const Walker walker_;
  std::atomic<bool> abandoned_{false};
  FileMap files_;
  GlobCache glob_cache_;
  mutable std::shared_mutex file_list_mutex_;
  bool file_list_failed_ = false;   // guarded by file_list_mutex_; set for good
  std::vector<PathRef> file_list_;  // guarded by file_list_mutex_
  // The entries of `file_list_` (sharing their texts), so that a single-path
  // change finds a path without scanning the list; emptied by a build and made
  // again at the next change. Guarded by file_list_mutex_.
  std::unordered_set<PathRef, PathHasher, PathEq> file_list_members_;
  std::atomic<uint64_t> file_list_generation_{0};  // written under the lock
  std::atomic<bool> ready_{false};
  std::atomic<bool> building_{false};
  // Held by a build while it puts its result in, and by unless_building.
  std::mutex build_end_mutex_;
  // Held by read_unread throughout, and by a build to take and to leave
  // `unread_`.
  std::mutex unread_mutex_;
  UnreadDirs unread_;  // guarded by unread_mutex_
  // Changes begun and not ended; raised before their first lock.
  std::atomic<uint32_t> changes_under_way_{0};
};

}  // namespace tolvane
