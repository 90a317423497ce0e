#include "fs/index/file_index.h"

#include <algorithm>
#include <mutex>

#include "fs/index/metadata.h"
#include "fs/pool/per_thread.h"
#include "fs/pool/pool.h"
#include "fs/sys/dir.h"
#include "fs/sys/file.h"
#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

// At or above this many `file_list` entries, listing runs on the worker pool.
constexpr size_t kParallelThreshold = 500;

// Runs `visit(begin, end, chunk)` over `count` items split into contiguous
// chunks on the pool; returns the number of chunks. Chunk k covers [k*size,
// min(count, (k+1)*size)).
template <typename Visit>
size_t ForChunks(size_t count, Visit&& visit) {
  size_t chunks = std::min(count, WorkerCount() * 4);
  size_t size = (count + chunks - 1) / chunks;
  chunks = (count + size - 1) / size;
  ParallelFor(chunks, [&](size_t k) {
    visit(k * size, std::min(count, (k + 1) * size), k);
  });
  return chunks;
}

// Appends `make(entry)` for each entry of `list` that `keep` accepts, in
// `list`'s order: on the calling thread below kParallelThreshold entries, else
// filtered in contiguous pieces on the pool and joined in piece order.
template <typename T, typename Keep, typename Make>
void FilterInOrder(const std::vector<PathRef>& list, Keep&& keep, Make&& make,
                   std::vector<T>* out) {
  const size_t count = list.size();
  if (count < kParallelThreshold) {
    for (const PathRef& path : list) {
      if (keep(path)) out->push_back(make(path));
    }
    return;
  }
  std::vector<std::vector<T>> pieces(std::min(count, WorkerCount() * 4));
  size_t used = ForChunks(count, [&](size_t begin, size_t end, size_t chunk) {
    for (size_t i = begin; i < end; ++i) {
      if (keep(list[i])) pieces[chunk].push_back(make(list[i]));
    }
  });
  size_t total = out->size();
  for (size_t k = 0; k < used; ++k) total += pieces[k].size();
  out->reserve(total);
  for (size_t k = 0; k < used; ++k) {
    std::move(pieces[k].begin(), pieces[k].end(), std::back_inserter(*out));
  }
}

}  // namespace

FileIndex::FileIndex(std::string root, GitEnvironment git_environment,
                     Walker walker)
    : root_(std::move(root)),
      git_environment_(std::move(git_environment)),
      walker_(std::move(walker)) {}

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

void FileIndex::IndexEntry(FileMap& files, const WalkEntry& entry,
                           std::vector<PathRef>* collected) {
  // The entry's own metadata (a link's, not its target's).
  auto record = sys::StatAt(entry.dir_fd, entry.name, /*follow=*/false);
  if (!record) return;
  const FileMetadata metadata =
      MetadataFromStat(*record, entry.dir_fd, entry.name);
  PathRef ref(entry.path, RelativeOffset(entry.path));
  files.Insert(ref, metadata);
  if (!metadata.is_dir) collected->push_back(std::move(ref));
}

std::vector<PathRef> FileIndex::Collect(
    FileMap& files, const std::function<void(const WalkVisitor&)>& walk) {
  // One collector per walk thread, joined after the walk: no lock per entry.
  PerThread<std::vector<PathRef>> collectors;
  walk([&](const WalkEntry& entry) {
    if (entry.is_error() || entry.depth == 0) return;
    IndexEntry(files, entry, &collectors.local());
  });
  std::vector<PathRef> collected;
  size_t total = 0;
  for (const auto& part : collectors) total += part.size();
  collected.reserve(total);
  for (auto& part : collectors) {
    std::move(part.begin(), part.end(), std::back_inserter(collected));
  }
  return collected;
}

Status FileIndex::rebuild(bool stay_ready) {
  bool expected = false;
  if (!building_.compare_exchange_strong(expected, true)) return {};
  // The claim is given back on every way out; `ready` is stored true before.
  struct Release {
    std::atomic<bool>& building;
    ~Release() { building.store(false); }
  } release{building_};
  if (!stay_ready) ready_.store(false);
  {
    // A read_unread in progress ends first; its directories are walked below.
    std::lock_guard lock(unread_mutex_);
    unread_ = {};
  }

  // Declared first, freed last: after the swap they hold the old index, which
  // is freed once every lock is let go.
  FileMap files(files_.shard_count());
  decltype(file_list_members_) stale_members;
  UnreadDirs unread;
  std::vector<PathRef> collected =
      Collect(files, [&](const WalkVisitor& visit) {
        walker_(root_, visit,
                WalkOptions{git_environment_, &abandoned_, &unread});
      });

  std::lock_guard end(build_end_mutex_);
  {
    std::unique_lock lock(file_list_mutex_);
    files_.Swap(files);
    if (!file_list_failed_) {
      file_list_.swap(collected);
      stale_members.swap(file_list_members_);
    }
    file_list_generation_.fetch_add(1);
  }
  {
    std::lock_guard lock(unread_mutex_);
    unread_ = std::move(unread);
  }
  ready_.store(true);
  return {};
}

class FileIndex::ChangeUnderWay {
 public:
  explicit ChangeUnderWay(FileIndex& index) : count_(index.changes_under_way_) {
    count_.fetch_add(1);
  }
  ~ChangeUnderWay() { count_.fetch_sub(1); }
  ChangeUnderWay(const ChangeUnderWay&) = delete;
  ChangeUnderWay& operator=(const ChangeUnderWay&) = delete;

 private:
  std::atomic<uint32_t>& count_;
};

void FileIndex::read_unread() {
  ChangeUnderWay change(*this);
  std::lock_guard lock(unread_mutex_);
  if (unread_.dirs.empty()) return;
  UnreadDirs still;
  std::vector<PathRef> collected =
      Collect(files_, [&](const WalkVisitor& visit) {
        ResumeWalk(unread_, visit, WalkOptions{{}, &abandoned_, &still});
      });
  unread_ = std::move(still);
  if (collected.empty()) return;
  std::unique_lock list_lock(file_list_mutex_);
  if (!file_list_failed_) ListUnlisted(collected);
}

bool FileIndex::GlobKeeps(const GlobMatcher* matcher, const PathRef& path) {
  if (matcher == nullptr) return true;
  if (path.is_utf8()) return matcher->Matches(path.relative());
  return matcher->Matches(ToUtf8Lossy(path.relative()));
}

void FileIndex::ListFiles(const GlobMatcher* matcher, Listing* listing) const {
  std::vector<std::string_view>& texts = listing->texts_;
  const size_t count = file_list_.size();
  if (matcher == nullptr && count >= kParallelThreshold) {
    texts.resize(count);
    ForChunks(count, [&](size_t begin, size_t end, size_t) {
      for (size_t i = begin; i < end; ++i) texts[i] = file_list_[i].relative();
    });
    return;
  }
  FilterInOrder(
      file_list_, [&](const PathRef& path) { return GlobKeeps(matcher, path); },
      [](const PathRef& path) { return path.relative(); }, &texts);
}

void FileIndex::ListAllEntries(const GlobMatcher* matcher,
                               Listing* listing) const {
  // Entries may leave `files` once their shard is unlocked: hold the paths.
  files_.ForEach([&](const PathRef& path, const FileMetadata&) {
    if (GlobKeeps(matcher, path)) {
      listing->held_.push_back(path);
      listing->texts_.push_back(path.relative());
    }
  });
}

Result<std::optional<GlobMatcher>> FileIndex::LockedMatcher(
    std::string_view pattern) {
  if (file_list_failed_) {
    return Fail(FsError::Internal("Failed to acquire read lock"));
  }
  if (matches_everything(pattern)) return std::optional<GlobMatcher>();
  auto compiled = glob_cache_.compiled_glob(pattern);
  if (!compiled) return Fail(std::move(compiled.error()));
  return std::optional<GlobMatcher>(std::move(*compiled));
}

Result<Listing> FileIndex::list_matching(std::string_view pattern,
                                         bool only_files) {
  if (!ready_.load()) return Fail(FsError::IndexBuilding());
  Listing listing;
  listing.lock_ = std::shared_lock(file_list_mutex_);
  listing.generation_ = file_list_generation_.load();
  auto matcher = LockedMatcher(pattern);
  if (!matcher) return Fail(std::move(matcher.error()));
  const GlobMatcher* filter = *matcher ? &**matcher : nullptr;
  if (only_files) {
    ListFiles(filter, &listing);
  } else {
    ListAllEntries(filter, &listing);
  }
  return listing;
}

Result<std::vector<std::string>> FileIndex::search_candidates(
    std::string_view glob_pattern) {
  if (!ready_.load()) return Fail(FsError::IndexBuilding());
  std::shared_lock lock(file_list_mutex_);
  auto matcher = LockedMatcher(glob_pattern);
  if (!matcher) return Fail(std::move(matcher.error()));
  const GlobMatcher* filter = *matcher ? &**matcher : nullptr;
  std::vector<std::string> candidates;
  FilterInOrder(
      file_list_,
      [&](const PathRef& path) {
        if (!GlobKeeps(filter, path)) return false;
        auto entry = files_.Get(path.view());
        return !entry || !entry->is_binary;
      },
      [](const PathRef& path) { return std::string(path.view()); },
      &candidates);
  return candidates;
}

void FileIndex::IndexMembers() {
  // Once made, it has a member per listed entry: empty, it has not been made
  // since the last build (or there is nothing to make it from).
  if (!file_list_members_.empty()) return;
  file_list_members_.reserve(file_list_.size());
  file_list_members_.insert(file_list_.begin(), file_list_.end());
}

std::optional<FileMetadata> FileIndex::StoreMetadata(const std::string& path) {
  // A path gone by the time its change is applied is ignored.
  auto record = sys::StatAt(AT_FDCWD, path.c_str(), /*follow=*/false);
  if (!record) return std::nullopt;
  const FileMetadata metadata =
      MetadataFromStat(*record, AT_FDCWD, path.c_str());
  // An entry of the other type goes first: a file's from the list, a
  // directory's with what the index holds below it.
  if (auto held = files_.Get(path); held && held->is_dir != metadata.is_dir) {
    const std::string_view replaced[] = {path};
    remove_paths(replaced);
  }
  files_.Insert(PathRef(path, RelativeOffset(path)), metadata);
  return metadata;
}

void FileIndex::update_metadata(const std::string& path) {
  ChangeUnderWay change(*this);
  (void)StoreMetadata(path);
}

Status FileIndex::update_path(const std::string& path) {
  ChangeUnderWay change(*this);
  auto stored = StoreMetadata(path);
  if (!stored || stored->is_dir) return {};

  PathRef ref(path, RelativeOffset(path));
  std::unique_lock lock(file_list_mutex_);
  if (!file_list_failed_) ListUnlisted({&ref, 1});
  return {};
}

void FileIndex::ListUnlisted(std::span<PathRef> paths) {
  try {
    IndexMembers();
    size_t added = 0;
    for (PathRef& ref : paths) {
      if (file_list_members_.contains(ref)) continue;
      file_list_.push_back(ref);
      file_list_members_.insert(std::move(ref));
      ++added;
    }
    if (added != 0) file_list_generation_.fetch_add(1);
  } catch (...) {
    // The list and its members may disagree now: nobody trusts the list again.
    file_list_failed_ = true;
    throw;
  }
}

void FileIndex::remove_paths(std::span<const std::string_view> paths,
                             std::span<const std::string_view> moved_dirs) {
  ChangeUnderWay change(*this);
  std::vector<std::string_view> removed;
  DirectorySet removed_dirs;
  for (std::string_view path : moved_dirs) removed_dirs.Insert(path);
  for (std::string_view path : paths) {
    auto entry = files_.Remove(path);
    if (!entry) continue;
    removed.push_back(path);
    if (entry->is_dir) removed_dirs.Insert(path);
  }
  if (removed.empty() && removed_dirs.empty()) return;
  if (!removed_dirs.empty()) {
    files_.EraseIf([&](const PathRef& path, const FileMetadata&) {
      return removed_dirs.Encloses(path);
    });
  }

  std::unique_lock lock(file_list_mutex_);
  if (file_list_failed_) return;
  try {
    IndexMembers();
    // A full build never lists a path twice and an update never appends one
    // that is listed, so a member is the one entry equal to its path; it
    // shares its text with it.
    std::unordered_set<const char*> listed_texts;
    for (std::string_view path : removed) {
      auto member = file_list_members_.find(path);
      if (member != file_list_members_.end()) {
        listed_texts.insert(member->view().data());
        file_list_members_.erase(member);
      }
    }
    if (listed_texts.empty() && removed_dirs.empty()) return;
    const size_t erased = std::erase_if(file_list_, [&](const PathRef& entry) {
      if (listed_texts.contains(entry.view().data())) return true;
      if (!removed_dirs.Encloses(entry)) return false;
      file_list_members_.erase(entry);
      return true;
    });
    if (erased == 0) return;
  } catch (...) {
    // The list and its members may disagree now: nobody trusts the list again.
    file_list_failed_ = true;
    throw;
  }
  file_list_generation_.fetch_add(1);
}

std::optional<FileMetadata> FileIndex::metadata(std::string_view path) const {
  return files_.Get(path);
}

}  // namespace tolvane
