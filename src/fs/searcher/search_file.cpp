#include "fs/searcher/search_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <utility>

#include "fs/lines/lines.h"
#include "fs/path/path.h"
#include "fs/sys/dir.h"
#include "fs/sys/file.h"
#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

// A worker keeps a buffer up to this size for the next file.
constexpr size_t kKeptBuffer = size_t{64} << 20;
// Larger files are left out: each thread holds its file whole, and the
// prefilter scans at most this much at once.
constexpr size_t kMaxFileRead = UINT_MAX;

// Turns the matching lines of one file, handed over in line order, into
// records: checks the whole file's UTF-8 at the first one, reserves a result
// slot for each, numbers the lines and copies the contexts.
class FileRecords {
 public:
  FileRecords(std::string_view path, std::string_view text, SearchRun& run)
      : path_(path), text_(text), run_(run) {}

  // Adds the matching line that starts at `start`. False when the file ends
  // here: not UTF-8 (no records at all), or no slot left.
  bool Add(size_t start, LineSpan span) {
    if (!checked_) {
      if (!IsUtf8(text_)) return false;
      checked_ = true;
      file_ = ToUtf8Lossy(StripRoot(path_, run_.search_root).value_or(path_));
    }
    uint64_t k = run_.result_count.load(std::memory_order_relaxed);
    do {
      if (k >= run_.max_results) {
        run_.stop_flag.store(true, std::memory_order_relaxed);
        return false;
      }
    } while (!run_.result_count.compare_exchange_weak(
        k, k + 1, std::memory_order_relaxed));
    line_index_ += CountNewlines(text_.substr(counted_, start - counted_));
    counted_ = start;
    SearchResult& record = records_.emplace_back();
    record.file = file_;
    record.content = text_.substr(start, span.end - start);
    record.line_number = static_cast<uint32_t>(line_index_ + 1);
    Context(start, span.next, &record);
    if (k + 1 >= run_.max_results) {
      run_.stop_flag.store(true, std::memory_order_relaxed);
      return false;
    }
    return true;
  }

  std::vector<SearchResult> Take() { return std::move(records_); }

 private:
  // Up to context_lines lines before and after the line [start, next).
  void Context(size_t start, size_t next, SearchResult* record) const {
    const uint64_t count = run_.context_lines;
    for (uint64_t n = 0; n < count && start > 0; ++n) {
      size_t previous = LineStartOf(text_, start - 1);
      record->context_before.emplace_back(
          text_.substr(previous, LineFrom(text_, previous).end - previous));
      start = previous;
    }
    std::reverse(record->context_before.begin(), record->context_before.end());
    for (uint64_t n = 0; n < count && next < text_.size(); ++n) {
      LineSpan span = LineFrom(text_, next);
      record->context_after.emplace_back(text_.substr(next, span.end - next));
      next = span.next;
    }
  }

  const std::string_view path_;
  const std::string_view text_;
  SearchRun& run_;
  bool checked_ = false;
  std::string file_;
  // Lines before `counted_`: the 0-based index of the line starting there.
  size_t counted_ = 0;
  uint64_t line_index_ = 0;
  std::vector<SearchResult> records_;
};

// Asks RE2 about each line that starts at one of `starts`, in order, the cap
// before each.
void TestLines(std::string_view text, const std::vector<size_t>& starts,
               SearchRun& run, FileRecords* records) {
  for (size_t start : starts) {
    if (run.capped()) return;
    LineSpan span = LineFrom(text, start);
    if (run.query.MatchesLine(text.substr(start, span.end - start)) &&
        !records->Add(start, span)) {
      return;
    }
  }
}

// A thread's read buffer. Page-aligned: the kernel copies page-cache pages
// into an aligned destination about one and a half times as fast as into a
// misaligned one, and that copy is most of a search's time.
class ReadBuffer {
 public:
  // Room for `size` bytes, or nullptr when it can't be had.
  char* Reserve(size_t size) {
    if (size > capacity_) {
      size_t grown = std::max(size, std::min(2 * capacity_, kKeptBuffer));
      grown = (grown + kAlignment - 1) / kAlignment * kAlignment;
      data_.reset();
      capacity_ = 0;
      data_.reset(static_cast<char*>(
          ::operator new[](grown, std::align_val_t(kAlignment), std::nothrow)));
      if (!data_) return nullptr;
      capacity_ = grown;
    }
    return data_.get();
  }
  void Trim() {
    if (capacity_ > kKeptBuffer) {
      data_.reset();
      capacity_ = 0;
    }
  }

 private:
  static constexpr size_t kAlignment = 4096;
  struct Free {
    void operator()(char* data) const {
      ::operator delete[](data, std::align_val_t(kAlignment));
    }
  };
  std::unique_ptr<char[], Free> data_;
  size_t capacity_ = 0;
};

ReadBuffer& ThreadBuffer() {
  thread_local ReadBuffer buffer;
  return buffer;
}

}  // namespace

std::optional<std::string_view> SearchWorker::Load(int dir_fd,
                                                   const char* name) {
  // The type first: only a regular file is opened, so no FIFO or device ever
  // is.
  auto named = sys::StatAt(dir_fd, name, /*follow=*/true);
  if (!named || !S_ISREG(named->st_mode)) return std::nullopt;
  if (named->st_size == 0) return std::string_view();
  auto fd = sys::OpenFileAt(dir_fd, name);
  if (!fd) return std::nullopt;
  return Read(fd->get(), static_cast<size_t>(named->st_size));
}

std::optional<std::string_view> SearchWorker::Read(int fd, size_t size) {
  // Bounded by the size seen before: a file that grows meanwhile is searched
  // as it was, one that shrinks as it now is.
  if (size > kMaxFileRead) return std::nullopt;
  char* buffer = ThreadBuffer().Reserve(size);
  if (buffer == nullptr) return std::nullopt;
  auto read = sys::ReadFull(fd, buffer, size);
  if (!read) return std::nullopt;
  return std::string_view(buffer, *read);
}

void SearchWorker::Trim() { ThreadBuffer().Trim(); }

const std::vector<size_t>& SearchWorker::LinesToTest(
    std::string_view text, const Prefilter* prefilter) {
  if (prefilter != nullptr && !scratch_) scratch_ = prefilter->NewScratch();
  if (scratch_ && prefilter->CandidateLines(text, scratch_.get(), &lines_)) {
    return lines_;
  }
  lines_.clear();
  for (size_t start = 0; start < text.size();
       start = LineFrom(text, start).next) {
    lines_.push_back(start);
  }
  return lines_;
}

std::vector<SearchResult> search_file(const std::string& path, SearchRun& run,
                                      SearchWorker& worker) {
  if (run.capped() || sys::HasNul(path)) return {};
  // A path below the root is opened by its names below it.
  const std::string_view root = run.search_root;
  size_t name = 0;
  if (run.root_fd >= 0 && path.starts_with(root) && path.size() > root.size() &&
      (root.ends_with('/') || path[root.size()] == '/')) {
    name = path.find_first_not_of('/', root.size());
  }
  auto text = name != 0 && name != std::string::npos
                  ? worker.Load(run.root_fd, path.c_str() + name)
                  : worker.Load(AT_FDCWD, path.c_str());
  if (!text) return {};
  return SearchText(path, *text, run, worker);
}

std::vector<SearchResult> SearchText(std::string_view path,
                                     std::string_view text, SearchRun& run,
                                     SearchWorker& worker) {
  FileRecords records(path, text, run);
  try {
    TestLines(text, worker.LinesToTest(text, run.query.prefilter()), run,
              &records);
  } catch (const std::bad_alloc&) {
    // The records made so far stand.
  }
  worker.Trim();
  return records.Take();
}

}  // namespace tolvane
