#include "fs/searcher/search_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "fs/index/metadata.h"
#include "fs/lines/lines.h"
#include "fs/path/path.h"
#include "fs/sys/dir.h"
#include "fs/sys/file.h"
#include "fs/sys/thread.h"
#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

// A worker keeps a buffer up to this size for the next file.
constexpr size_t kKeptBuffer = size_t{64} << 20;

// Turns the matching lines of one file, handed over in line order, into
// records: numbers the lines and copies the contexts. A file read whole is
// checked for UTF-8 at its first match, and each record takes its result slot
// as it is made. A file read in windows is checked window by window by its
// reader, so its records are held and take their slots in Commit, once the
// whole file is known to be UTF-8: a file that turns out not to be never holds
// a slot that another file's match could have had.
class FileRecords {
 public:
  FileRecords(std::string_view path, SearchRun& run, bool held)
      : path_(path), run_(run), held_(held), checked_(held) {}

  // The lines to come lie in `text`, whose first line is the file's
  // `first_line`th (0-based); `text` holds the context lines around them.
  void SetText(std::string_view text, uint64_t first_line) {
    text_ = text;
    counted_ = 0;
    line_index_ = first_line;
  }

  // Adds the matching line that starts at `start`. False when no further
  // record can count: not UTF-8 (no records at all), or no slot left; then
  // the file has ended.
  bool Add(size_t start, LineSpan span) {
    ended_ = !Append(start, span);
    return !ended_;
  }
  bool ended() const { return ended_; }

  // Held records take the slots that are left, in line order; those that get
  // none are dropped.
  void Commit() {
    if (!held_ || records_.empty()) return;
    uint64_t k = run_.result_count.load(std::memory_order_relaxed);
    uint64_t taken;
    do {
      taken = std::min<uint64_t>(records_.size(), run_.max_results - k);
    } while (taken > 0 && !run_.result_count.compare_exchange_weak(
                              k, k + taken, std::memory_order_relaxed));
    records_.resize(taken);
    if (k + taken >= run_.max_results) {
      run_.stop_flag.store(true, std::memory_order_relaxed);
    }
  }

  std::vector<SearchResult> Take() { return std::move(records_); }

 private:
  bool Append(size_t start, LineSpan span) {
    if (!checked_) {
      if (!IsUtf8(text_)) return false;
      checked_ = true;
    }
    uint64_t k = run_.result_count.load(std::memory_order_relaxed);
    if (held_) {
      if (records_.size() >= run_.max_results - k) return false;
    } else {
      do {
        if (k >= run_.max_results) {
          run_.stop_flag.store(true, std::memory_order_relaxed);
          return false;
        }
      } while (!run_.result_count.compare_exchange_weak(
          k, k + 1, std::memory_order_relaxed));
    }
    if (file_.empty()) {
      file_ = ToUtf8Lossy(StripRoot(path_, run_.search_root).value_or(path_));
    }
    line_index_ += CountNewlines(text_.substr(counted_, start - counted_));
    counted_ = start;
    SearchResult& record = records_.emplace_back();
    record.file = file_;
    record.content = text_.substr(start, span.end - start);
    record.line_number = line_index_ + 1;
    Context(start, span.next, &record);
    if (held_) return records_.size() < run_.max_results - k;
    if (k + 1 >= run_.max_results) {
      run_.stop_flag.store(true, std::memory_order_relaxed);
      return false;
    }
    return true;
  }

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
  SearchRun& run_;
  const bool held_;
  bool checked_;
  bool ended_ = false;
  std::string_view text_;
  std::string file_;
  // Lines before `counted_`: the 0-based index of the line starting there.
  size_t counted_ = 0;
  uint64_t line_index_ = 0;
  std::vector<SearchResult> records_;
};

// Asks RE2 about each line that starts at one of `starts` within [from, to),
// in order, the cap before each.
void TestLines(std::string_view text, const std::vector<size_t>& starts,
               size_t from, size_t to, SearchRun& run, FileRecords* records) {
  for (auto it = std::lower_bound(starts.begin(), starts.end(), from);
       it != starts.end() && *it < to; ++it) {
    if (run.capped()) return;
    LineSpan span = LineFrom(text, *it);
    if (run.query.MatchesLine(text.substr(*it, span.end - *it)) &&
        !records->Add(*it, span)) {
      return;
    }
  }
}

// The start of the `count`th line before the line that starts at `at` of
// `text`, or 0 when fewer lines lie before it.
size_t LinesBack(std::string_view text, size_t at, uint64_t count) {
  for (uint64_t n = 0; n < count && at > 0; ++n) {
    at = LineStartOf(text, at - 1);
  }
  return at;
}

// A thread's read buffer: an anonymous mapping. Page-aligned: the kernel copies
// page-cache pages into an aligned destination about one and a half times as
// fast as into a misaligned one, and that copy is most of a search's time.
// Grown by the kernel's mremap, which extends the mapping or moves its pages,
// never copies them: growing holds no second buffer beside the first.
class ReadBuffer {
 public:
  ReadBuffer() = default;
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;
  ~ReadBuffer() { Release(); }

  // Room for `size` bytes that begin with the first `keep` bytes held now, or
  // nullptr when it can't be had (what is held then stays).
  char* Grow(size_t size, size_t keep = 0) {
    if (size <= capacity_) return data_;
    if (size > SIZE_MAX - kPage) return nullptr;
    size_t grown = std::max(size, std::min(2 * capacity_, kKeptBuffer));
    grown = (grown + kPage - 1) / kPage * kPage;
    if (keep == 0) Release();
    void* data = capacity_ == 0
                     ? ::mmap(nullptr, grown, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                     : ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE);
    if (data == MAP_FAILED) return nullptr;
    data_ = static_cast<char*>(data);
    capacity_ = grown;
    return data_;
  }
  void Trim() {
    if (capacity_ > kKeptBuffer) Release();
  }

 private:
  static constexpr size_t kPage = 4096;

  void Release() {
    if (capacity_ > 0) ::munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
  }

  char* data_ = nullptr;
  size_t capacity_ = 0;
};

ReadBuffer& ThreadBuffer() { return sys::OnEachThread<ReadBuffer>(); }

}  // namespace

std::optional<OpenedFile> SearchWorker::Open(int dir_fd, const char* name) {
  // The checked open learns the type first, so no FIFO or device is opened.
  struct stat st;
  auto fd = sys::OpenFileAt(dir_fd, name, /*follow=*/true, &st);
  if (!fd || !S_ISREG(st.st_mode)) return std::nullopt;
  return OpenedFile{std::move(*fd), static_cast<size_t>(st.st_size)};
}

std::vector<SearchResult> SearchWorker::Search(std::string_view path, int fd,
                                               size_t size, SearchRun& run,
                                               bool skip_binary,
                                               uint64_t first_line) {
  if (size == 0) return {};
  std::vector<SearchResult> records =
      size > window_
          ? SearchWindows(path, fd, size, run, skip_binary, first_line)
          : SearchWhole(path, fd, size, run, skip_binary, first_line);
  ThreadBuffer().Trim();
  return records;
}

std::vector<SearchResult> SearchWorker::SearchWhole(std::string_view path,
                                                    int fd, size_t size,
                                                    SearchRun& run,
                                                    bool skip_binary,
                                                    uint64_t first_line) {
  char* buffer = ThreadBuffer().Grow(size);
  if (buffer == nullptr) {
    run.FailOutOfMemory();
    return {};
  }
  auto read = sys::ReadFull(fd, buffer, size);
  if (!read) return {};
  const std::string_view text(buffer, *read);
  if (skip_binary && IsBinaryHead(text)) return {};
  return SearchText(path, text, run, *this, first_line);
}

// Each round fills the buffer up to `limit` bytes after what the last round
// kept, checks the complete lines new to it for UTF-8, and searches the lines
// whose context_after it holds whole (all of them at the end of the file); it
// keeps the lines not searched yet, with the context_before of the first, and
// the unfinished last line. A round that would read less than half of the
// limit (a line or the contexts longer than the buffer) raises it by one
// window, so that the buffer holds about a window beyond the longest line.
// Only the bytes a round reads are looked at for line ends, so that a line of
// many windows costs no more than its reading.
std::vector<SearchResult> SearchWorker::SearchWindows(std::string_view path,
                                                      int fd, size_t size,
                                                      SearchRun& run,
                                                      bool skip_binary,
                                                      uint64_t first_line) {
  ReadBuffer& buffer = ThreadBuffer();
  FileRecords records(path, run, /*held=*/true);
  const uint64_t context = run.context_lines;
  size_t limit = skip_binary ? std::max(window_, kSniffBytes) : window_;
  size_t left = size;   // bytes of the file not read yet
  size_t used = 0;      // bytes in the buffer
  size_t searched = 0;  // the first line not searched yet
  size_t checked = 0;   // bytes known to be UTF-8
  size_t complete = 0;  // the end of the buffer's complete lines
  size_t stop = 0;      // the end of the lines to search
  // first_line: the 0-based index of the buffer's first line.
  try {
    for (bool head = true;; head = false) {
      if (run.capped()) return {};
      if (2 * (limit - used) < limit) limit += window_;
      const size_t wanted = std::min(limit - used, left);
      char* data = buffer.Grow(used + wanted, used);
      if (data == nullptr) {
        run.FailOutOfMemory();
        return {};
      }
      auto read = sys::ReadFull(fd, data + used, wanted);
      if (!read) return {};
      const size_t fresh = used;  // the first byte read by this round
      used += *read;
      left -= *read;
      const bool end = *read < wanted || left == 0;
      const std::string_view text(data, used);
      if (head && skip_binary && IsBinaryHead(text)) return {};
      if (end) {
        complete = stop = used;
      } else if (const size_t last =
                     LineStartOf(text.substr(fresh), used - fresh);
                 last > 0) {
        complete = fresh + last;
        stop = LinesBack(text, complete, context);
      }
      if (stop <= searched && !end) continue;
      if (!IsUtf8(text.substr(checked, complete - checked))) return {};
      checked = complete;
      const std::string_view lines = text.substr(0, complete);
      if (!records.ended()) {
        records.SetText(lines, first_line);
        TestLines(lines, LinesToTest(lines, run.query.prefilter()), searched,
                  stop, run, &records);
      }
      if (end) break;
      const size_t keep = LinesBack(text, stop, context);
      first_line += CountNewlines(text.substr(0, keep));
      std::memmove(data, data + keep, used - keep);
      used -= keep;
      searched = stop - keep;
      checked -= keep;
      complete -= keep;
      stop -= keep;
    }
    records.Commit();
  } catch (const std::bad_alloc&) {
    run.FailOutOfMemory();
    return {};
  }
  return records.Take();
}

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
  auto file = name != 0 && name != std::string::npos
                  ? worker.Open(run.root_fd, path.c_str() + name)
                  : worker.Open(AT_FDCWD, path.c_str());
  if (!file) return {};
  return worker.Search(path, file->fd.get(), file->size, run);
}

std::vector<SearchResult> SearchText(std::string_view path,
                                     std::string_view text, SearchRun& run,
                                     SearchWorker& worker,
                                     uint64_t first_line) {
  FileRecords records(path, run, /*held=*/false);
  records.SetText(text, first_line);
  try {
    TestLines(text, worker.LinesToTest(text, run.query.prefilter()), 0,
              text.size(), run, &records);
  } catch (const std::bad_alloc&) {
    run.FailOutOfMemory();
    return {};
  }
  return records.Take();
}

}  // namespace tolvane
