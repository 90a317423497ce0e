#include "fs/searcher/search.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include <iterator>
#include <utility>

#include "fs/glob/glob.h"
#include "fs/index/metadata.h"
#include "fs/pool/pool.h"
#include "fs/searcher/query.h"
#include "fs/searcher/search_file.h"
#include "fs/sys/dir.h"

namespace tolvane {
namespace {

// Files are handed to the pool's threads in groups this small, so that a few
// large files late in the list don't leave one thread finishing alone.
constexpr size_t kFilesPerTask = 4;

// Whether the walk road searches `entry`: the tests of the candidate visitor,
// cheapest first (they only exclude, so their order shows nowhere). Regular
// files and links to them only: a FIFO, socket or device is never opened.
bool IsWalkCandidate(const WalkEntry& entry, size_t relative_offset,
                     const GlobMatcher& glob, uint64_t max_file_size) {
  if (entry.is_error() || entry.depth == 0) return false;
  if (entry.type != EntryType::kFile && entry.type != EntryType::kSymlink) {
    return false;
  }
  if (!glob.Matches(entry.path.substr(relative_offset))) return false;
  if (entry.type == EntryType::kFile) {
    if (auto metadata = RegularFileMetadataAt(entry.dir_fd, entry.name)) {
      return metadata->size <= max_file_size && !metadata->is_binary;
    }
  } else {
    auto target = sys::StatAt(entry.dir_fd, entry.name, /*follow=*/true);
    if (!target || !S_ISREG(target->st_mode)) return false;
  }
  // The entry's own size (a link's, not its target's); unreadable passes.
  auto own = sys::StatAt(entry.dir_fd, entry.name, /*follow=*/false);
  if (own && static_cast<uint64_t>(own->st_size) > max_file_size) return false;
  return !IsBinaryAt(entry.dir_fd, entry.name, /*known_regular=*/false);
}

Result<std::vector<std::string>> WalkCandidates(const std::string& search_root,
                                                std::string_view glob_pattern,
                                                uint64_t max_file_size,
                                                const SearchWalker& walker) {
  auto glob = GlobMatcher::Compile(glob_pattern);
  if (!glob) return Fail(std::move(glob.error()));
  // Entries below the root are the root's text, a separator, then names.
  const size_t relative_offset =
      search_root.size() + (search_root.ends_with('/') ? 0 : 1);
  tbb::enumerable_thread_specific<std::vector<std::string>> found;
  walker(search_root, [&](const WalkEntry& entry) {
    if (IsWalkCandidate(entry, relative_offset, *glob, max_file_size)) {
      found.local().emplace_back(entry.path);
    }
  });
  std::vector<std::string> candidates;
  for (auto& part : found) {
    std::move(part.begin(), part.end(), std::back_inserter(candidates));
  }
  return candidates;
}

}  // namespace

Result<std::vector<SearchResult>> search(
    const std::string& search_root, std::string_view query,
    std::string_view glob_pattern, const SearchOptions& options,
    std::optional<std::vector<std::string>> candidates,
    const SearchWalker& walker) {
  auto compiled = SearchQuery::Compile(query, options.case_sensitive);
  if (!compiled) return Fail(std::move(compiled.error()));
  if (!candidates) {
    auto walked = WalkCandidates(search_root, glob_pattern,
                                 options.max_file_size, walker);
    if (!walked) return Fail(std::move(walked.error()));
    candidates = std::move(*walked);
  }
  const std::vector<std::string>& files = *candidates;

  SearchRun run(search_root, *compiled, options.max_results,
                options.context_lines);
  std::vector<std::vector<SearchResult>> per_file(files.size());
  tbb::enumerable_thread_specific<SearchWorker> workers;
  RunInPool([&] {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, files.size(), kFilesPerTask),
        [&](const tbb::blocked_range<size_t>& range) {
          SearchWorker& worker = workers.local();
          for (size_t i = range.begin(); i != range.end(); ++i) {
            per_file[i] = search_file(files[i], run, worker);
          }
        },
        tbb::simple_partitioner());
  });

  size_t total = 0;
  for (const auto& records : per_file) total += records.size();
  std::vector<SearchResult> results;
  results.reserve(total);
  for (auto& records : per_file) {
    std::move(records.begin(), records.end(), std::back_inserter(results));
  }
  if (results.size() > options.max_results) {
    results.resize(options.max_results);
  }
  return results;
}

}  // namespace tolvane
