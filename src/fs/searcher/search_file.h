// The per-file step of a search: reads one candidate file, whole or in windows
// that end at line ends, finds its matching lines and turns them into
// SearchResult records, rationing result slots with every other worker of the
// same search through the run's shared counter. The run state is shared by all
// workers (its atomics rationed with relaxed operations, the rest read-only); a
// SearchWorker belongs to one thread.
#pragma once

#include <algorithm>
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
#include "fs/sys/file.h"

namespace tolvane {

// The state that one search shares among its workers.
struct SearchRun {
  SearchRun(std::string_view root, const SearchQuery& query, uint64_t max,
            uint64_t context)
      : search_root(root),
        query(query),
        max_results(max),
        context_lines(context) {}

  // No slot is left, or the search has failed: workers skip whole files and
  // stop inside them.
  bool capped() const {
    return stop_flag.load(std::memory_order_relaxed) ||
           result_count.load(std::memory_order_relaxed) >= max_results;
  }

  // A file's search couldn't get the memory it needs: the search fails, so
  // that no file is left out unseen, and every worker stops.
  void FailOutOfMemory() {
    out_of_memory.store(true, std::memory_order_relaxed);
    stop_flag.store(true, std::memory_order_relaxed);
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
  // Set once result_count has reached max_results, or the search has failed.
  std::atomic<bool> stop_flag{false};
  // Set by FailOutOfMemory: the search's result is that failure.
  std::atomic<bool> out_of_memory{false};
};

// Files larger than this are searched in windows of about this size.
inline constexpr size_t kSearchWindow = size_t{32} << 20;

// A candidate opened for its search, and the size seen before: the search
// reads no further.
struct OpenedFile {
  sys::UniqueFd fd;
  size_t size;
};

// One thread's state in one search: the prefilter's scratch and the candidate
// lines. A file is read into a buffer of the thread's own, kept between
// searches so that reading costs no allocation once it has grown: whole when it
// holds at most `window` bytes, else in windows that end at line ends, so that
// the buffer holds about `window` bytes plus the longest line (and, when
// contexts are asked for, the context lines around the window's end).
class SearchWorker {
 public:
  SearchWorker() = default;
  // A worker whose windows hold about `window` bytes instead.
  explicit SearchWorker(size_t window) : window_(std::max<size_t>(window, 1)) {}

  // Opens the file `name` (relative to `dir_fd`, or AT_FDCWD): only a regular
  // file (links followed) is opened, non-blocking, so that no FIFO or device is
  // ever opened. nullopt when it can't be.
  std::optional<OpenedFile> Open(int dir_fd, const char* name);

  // The records of the open file `fd` (named `path`), read up to `size` bytes:
  // a file that grows meanwhile is searched as it was, one that shrinks as it
  // now is. With `skip_binary`, none when a NUL lies among the first
  // kSniffBytes bytes read. The rest as SearchText, with `first_line` lines of
  // the file before what is read.
  std::vector<SearchResult> Search(std::string_view path, int fd, size_t size,
                                   SearchRun& run, bool skip_binary = false,
                                   uint64_t first_line = 0);

  // The start offsets of the lines of `text` to test: the prefilter's
  // candidates, or every line.
  const std::vector<size_t>& LinesToTest(std::string_view text,
                                         const Prefilter* prefilter);

 private:
  std::vector<SearchResult> SearchWhole(std::string_view path, int fd,
                                        size_t size, SearchRun& run,
                                        bool skip_binary, uint64_t first_line);
  std::vector<SearchResult> SearchWindows(std::string_view path, int fd,
                                          size_t size, SearchRun& run,
                                          bool skip_binary,
                                          uint64_t first_line);

  size_t window_ = kSearchWindow;
  std::unique_ptr<Prefilter::Scratch> scratch_;
  std::vector<size_t> lines_;
};

// The records of `path`'s matching lines, in line order: none when the file
// can't be read or isn't valid UTF-8 as a whole; the file's first matching
// lines, as many as slots are left, when the cap is reached inside it. Memory
// that the file's search can't get fails the run (FailOutOfMemory).
std::vector<SearchResult> search_file(const std::string& path, SearchRun& run,
                                      SearchWorker& worker);
// The same for `text`, the content of the file `path` that the caller has
// read (its buffer may be the worker's) after its first `first_line` lines
// (none: the whole file): records number the lines from first_line + 1 on.
std::vector<SearchResult> SearchText(std::string_view path,
                                     std::string_view text, SearchRun& run,
                                     SearchWorker& worker,
                                     uint64_t first_line = 0);

}  // namespace tolvane
