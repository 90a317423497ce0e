#include "fs/searcher/search_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
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

// Turns the matching lines of one file, handed over in line order, into
// records: checks the whole file's UTF-8 at the first one, reserves a result
// slot for each, numbers the lines and copies the contexts.
class FileRecords {
 public:
  FileRecords(const std::string& path, std::string_view text, SearchRun& run)
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

  const std::string& path_;
  const std::string_view text_;
  SearchRun& run_;
  bool checked_ = false;
  std::string file_;
  // Lines before `counted_`: the 0-based index of the line starting there.
  size_t counted_ = 0;
  uint64_t line_index_ = 0;
  std::vector<SearchResult> records_;
};

// Tests every line in turn, the cap before each one.
void SearchLines(std::string_view text, SearchRun& run, FileRecords* records) {
  for (size_t start = 0; start < text.size();) {
    if (run.capped()) return;
    LineSpan span = LineFrom(text, start);
    if (run.query.MatchesLine(text.substr(start, span.end - start)) &&
        !records->Add(start, span)) {
      return;
    }
    start = span.next;
  }
}

}  // namespace

bool SearchWorker::Load(const std::string& path) {
  auto named = sys::Stat(path);
  if (!named || !S_ISREG(named->st_mode)) return false;
  auto fd = sys::OpenFileAt(AT_FDCWD, path);
  if (!fd) return false;
  // Replaced since the stat: read it only if it is still a regular file.
  auto opened = sys::Fstat(fd->get());
  if (!opened || !S_ISREG(opened->st_mode)) return false;
  return sys::ReadToEndInto(fd->get(), &buffer_).has_value();
}

void SearchWorker::Trim() {
  if (buffer_.capacity() > kKeptBuffer) std::string().swap(buffer_);
}

std::vector<SearchResult> search_file(const std::string& path, SearchRun& run,
                                      SearchWorker& worker) {
  if (run.capped() || !worker.Load(path)) return {};
  FileRecords records(path, worker.text(), run);
  try {
    SearchLines(worker.text(), run, &records);
  } catch (const std::bad_alloc&) {
    // The records made so far stand.
  }
  worker.Trim();
  return records.Take();
}

}  // namespace tolvane
