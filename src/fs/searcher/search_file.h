// The per-file step of a search: reads one candidate file, finds its matching
// lines and turns them into SearchResult records, rationing result slots with
// every other worker of the same search through the run's shared counter. The
// run state is shared by all workers (its atomics rationed with relaxed
// operations, the rest read-only); a SearchWorker belongs to one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/error/records.h"
#include "fs/searcher/prefilter.h"
#include "fs/searcher/query.h"

namespace tolvane {

// The state that one search shares among its workers.
struct SearchRun {
  SearchRun(std::string_view root, const SearchQuery& query, uint64_t max,
            uint64_t context)
      : search_root(root),
        query(query),
        max_results(max),
        context_lines(context) {}

  // No slot is left: workers skip whole files and stop inside them.
  bool capped() const {
    return stop_flag.load(std::memory_order_relaxed) ||
           result_count.load(std::memory_order_relaxed) >= max_results;
  }

  const std::string_view search_root;
  // A descriptor of the search root, or -1: candidates below it are opened
  // relative to it, so that the kernel walks only the names below the root.
  int root_fd = -1;
  const SearchQuery& query;
  const uint64_t max_results;
  const uint64_t context_lines;
  // Result slots reserved so far; never passes max_results.
  std::atomic<uint64_t> result_count{0};
  // Set once result_count has reached max_results.
  std::atomic<bool> stop_flag{false};
};

// One thread's state in one search: the prefilter's scratch and the candidate
// lines. The file itself is read into a buffer of the thread's own, kept
// between searches so that reading costs no allocation once it has grown.
class SearchWorker {
 public:
  // Reads the file `name` (relative to `dir_fd`, or AT_FDCWD) whole into the
  // thread's buffer: only a regular file (links followed) is opened,
  // non-blocking, so that no FIFO or device is ever opened. nullopt when it
  // can't be read.
  std::optional<std::string_view> Load(int dir_fd, const char* name);
  // Reads at most `size` bytes of the open file `fd` into the thread's buffer.
  std::optional<std::string_view> Read(int fd, size_t size);
  // Lets go of a buffer grown far beyond the usual file.
  void Trim();

  // The start offsets of the lines of `text` to test: the prefilter's
  // candidates, or every line.
  const std::vector<size_t>& LinesToTest(std::string_view text,
                                         const Prefilter* prefilter);

 private:
  std::unique_ptr<Prefilter::Scratch> scratch_;
  std::vector<size_t> lines_;
};

// The records of `path`'s matching lines, in line order: none when the file
// can't be read or isn't valid UTF-8 as a whole; the records made before the
// cap was reached when it is reached inside the file. Never fails.
std::vector<SearchResult> search_file(const std::string& path, SearchRun& run,
                                      SearchWorker& worker);
// The same for `text`, the content of the file `path` that the caller has read
// (its buffer may be the worker's).
std::vector<SearchResult> SearchText(std::string_view path,
                                     std::string_view text, SearchRun& run,
                                     SearchWorker& worker);

}  // namespace tolvane
