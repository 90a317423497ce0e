#include "fs/searcher/search.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>

#include "fs/glob/glob.h"
#include "fs/pool/per_thread.h"
#include "fs/pool/pool.h"
#include "fs/searcher/query.h"
#include "fs/searcher/search_file.h"
#include "fs/sys/dir.h"

namespace tolvane {
namespace {

// Files are handed to the pool's threads in groups this small, so that a few
// large files late in the list don't leave one thread finishing alone.
constexpr size_t kFilesPerTask = 4;

// Each thread's worker, and the records of the files it searched tagged with
// their place in candidate order; joined in that order at the end, whatever
// order the threads finished in.
class Collector {
 public:
  struct Local {
    SearchWorker worker;
    std::vector<std::pair<uint64_t, std::vector<SearchResult>>> found;

    void Add(uint64_t order, std::vector<SearchResult> records) {
      if (!records.empty()) found.emplace_back(order, std::move(records));
    }
  };

  Local& local() { return locals_.local(); }

  // The records in candidate order, then line order; at most `max` of them.
  // Each file's records are moved, never copied: the peak stays one set of
  // records.
  SearchRecords Take(uint64_t max) {
    std::vector<std::pair<uint64_t, std::vector<SearchResult>>> files;
    for (Local& local : locals_) {
      std::move(local.found.begin(), local.found.end(),
                std::back_inserter(files));
      local.found = decltype(local.found)();
    }
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    SearchRecords records;
    records.reserve(files.size());
    // The slots already keep the total within `max`; the cut is a guard.
    for (auto& file : files) {
      if (max == 0) break;
      if (file.second.size() > max) file.second.resize(max);
      max -= file.second.size();
      records.push_back(std::move(file.second));
    }
    return records;
  }

 private:
  PerThread<Local> locals_;
};

// The walk road's candidate visitor, which also searches each candidate on the
// walk's thread as soon as it is found, so that a file is opened once. Its
// tests, cheapest first (they only exclude, so their order shows nowhere):
// regular files and links to them only (a FIFO, socket or device is never
// opened); the glob on the root-relative path; size at most max_file_size
// (a link's own size); not binary, by the sniff's rule on the bytes read.
// Candidate order is the order in which the walk's threads found them. A file
// that can't be opened for want of descriptors is tried once more after the
// walk, when the walk's own descriptors are closed.
class WalkSearch {
 public:
  WalkSearch(const std::string& search_root, const GlobMatcher& glob,
             uint64_t max_file_size, SearchRun& run, Collector& collector)
      : relative_offset_(search_root.size() +
                         (search_root.ends_with('/') ? 0 : 1)),
        glob_(glob),
        max_file_size_(max_file_size),
        run_(run),
        collector_(collector) {}

  // The walk takes a visitor's failure for its directory's: memory that the
  // visit can't get fails the run here instead, so that no file is left out.
  void Visit(const WalkEntry& entry) {
    try {
      VisitFile(entry);
    } catch (const std::bad_alloc&) {
      run_.FailOutOfMemory();
    }
  }

  // Once the walk is done: the files it couldn't open for want of
  // descriptors, one at a time by their paths; those that fail again are
  // left out.
  void VisitDeferred() {
    for (const std::string& path : std::exchange(deferred_, {})) {
      Visit(WalkEntry{path, 1, EntryType::kFile, {}, AT_FDCWD, path.c_str()});
    }
  }

 private:
  void VisitFile(const WalkEntry& entry) {
    if (entry.is_error() || entry.depth == 0 || run_.capped()) return;
    if (entry.type != EntryType::kFile && entry.type != EntryType::kSymlink) {
      return;
    }
    // Entries below the root are the root's text, a separator, then names.
    if (!glob_.Matches(entry.path.substr(relative_offset_))) return;
    Collector::Local& local = collector_.local();
    auto file = Open(entry, local.worker);
    if (!file) return;
    const uint64_t order = next_order_.fetch_add(1, std::memory_order_relaxed);
    local.Add(order, local.worker.Search(entry.path, file->fd.get(), file->size,
                                         run_, /*skip_binary=*/true));
  }

  // A regular file entry, or a link's regular target, opened.
  std::optional<OpenedFile> Open(const WalkEntry& entry, SearchWorker& worker) {
    if (entry.type == EntryType::kSymlink) {
      // The link's own size counts; the worker opens only a regular target.
      auto own = sys::StatAt(entry.dir_fd, entry.name, /*follow=*/false);
      if (own && static_cast<uint64_t>(own->st_size) > max_file_size_) {
        return std::nullopt;
      }
      return worker.Open(entry.dir_fd, entry.name);
    }
    // Opened by the type the listing gave: a name that has become anything
    // else since is refused by the open or by the status read after it.
    struct stat listed{}, st;
    listed.st_mode = S_IFREG;
    auto fd = sys::OpenKnownAt(entry.dir_fd, entry.name, O_RDONLY,
                               /*follow=*/false, listed, &st);
    // Opened by its path, it is already the try after the walk.
    if (!fd && fd.error().out_of_resources() && entry.dir_fd != AT_FDCWD) {
      std::lock_guard<std::mutex> lock(deferred_mu_);
      deferred_.emplace_back(entry.path);
    }
    if (!fd) return std::nullopt;
    // The listing said regular file; still one, the file's own size counts.
    if (!S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > max_file_size_) {
      return std::nullopt;
    }
    return OpenedFile{std::move(*fd), static_cast<size_t>(st.st_size)};
  }

  const size_t relative_offset_;
  const GlobMatcher& glob_;
  const uint64_t max_file_size_;
  SearchRun& run_;
  Collector& collector_;
  std::atomic<uint64_t> next_order_{0};
  std::mutex deferred_mu_;
  std::vector<std::string> deferred_;  // guarded by deferred_mu_
};

}  // namespace

Result<SearchRecords> search(const std::string& search_root,
                             std::string_view query,
                             std::string_view glob_pattern,
                             const SearchOptions& options,
                             std::optional<std::vector<std::string>> candidates,
                             const WalkOptions& walk_options,
                             const SearchWalker& walker) {
  auto compiled = SearchQuery::Compile(query, options.case_sensitive);
  if (!compiled) return Fail(std::move(compiled.error()));
  SearchRun run(search_root, *compiled, options.max_results,
                options.context_lines);
  Collector collector;
  try {
    if (candidates) {
      const std::vector<std::string>& files = *candidates;
      auto root =
          sys::OpenDirAt(AT_FDCWD, search_root.c_str(), /*follow=*/true);
      if (root) run.root_fd = root->get();
      const size_t groups = (files.size() + kFilesPerTask - 1) / kFilesPerTask;
      // The first failure to allocate is rethrown here once the tasks are done.
      ParallelFor(groups, [&](size_t group) {
        Collector::Local& local = collector.local();
        const size_t end = std::min(files.size(), (group + 1) * kFilesPerTask);
        for (size_t i = group * kFilesPerTask; i < end; ++i) {
          local.Add(i, search_file(files[i], run, local.worker));
        }
      });
    } else {
      auto glob = GlobMatcher::Compile(glob_pattern);
      if (!glob) return Fail(std::move(glob.error()));
      WalkSearch walk(search_root, *glob, options.max_file_size, run,
                      collector);
      walker(
          search_root, [&](const WalkEntry& entry) { walk.Visit(entry); },
          walk_options);
      walk.VisitDeferred();
    }
    if (!run.out_of_memory.load(std::memory_order_relaxed)) {
      return collector.Take(options.max_results);
    }
  } catch (const std::bad_alloc&) {
  }
  return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
}

}  // namespace tolvane
