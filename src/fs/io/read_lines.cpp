#include "fs/io/read_lines.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "fs/io/open_file.h"
#include "fs/lines/lines.h"
#include "fs/sys/file.h"
#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

constexpr uint64_t kLargeFileThreshold = 1048576;
constexpr size_t kLineBufferSize = 8192;
constexpr size_t kChunkSize = 1 << 18;
// Room after a chunk for the start of a character that the chunk boundary cut
// (at most 3 bytes).
constexpr size_t kCarryRoom = 4;

// Splits a byte stream fed in pieces into lines, passes over the first `start`
// of them and keeps the following ones until `count` are kept. Only kept lines
// are copied.
class LineCollector {
 public:
  LineCollector(uint64_t start, std::optional<uint64_t> count,
                bool drop_invalid)
      : start_(start), count_(count), drop_invalid_(drop_invalid) {}

  bool full() const { return count_ && lines_.size() >= *count_; }

  void Feed(std::string_view bytes) {
    if (index_ < start_) bytes = PassOver(bytes);
    while (!bytes.empty() && !full()) {
      size_t newline = bytes.find('\n');
      if (index_ >= start_) line_.append(bytes.substr(0, newline));
      if (newline == std::string_view::npos) {
        pending_ = true;
        return;
      }
      EndLine(/*at_newline=*/true);
      bytes.remove_prefix(newline + 1);
    }
  }

  // The end of the stream: a last line without "\n" keeps any "\r" it ends
  // with.
  void Finish() {
    if (pending_ && !full()) EndLine(/*at_newline=*/false);
  }

  std::vector<std::string> Take() { return std::move(lines_); }

 private:
  // Passes over the lines before `start_` without copying or checking them:
  // counts the newlines of the whole piece at memory speed, and finds the last
  // one it needs only in the piece where it lies. Returns the rest.
  std::string_view PassOver(std::string_view bytes) {
    const uint64_t needed = start_ - index_;
    const uint64_t newlines = CountNewlines(bytes);
    if (newlines < needed) {
      index_ += newlines;
      pending_ = !bytes.empty() && bytes.back() != '\n';
      return {};
    }
    for (uint64_t passed = 0; passed < needed; ++passed) {
      bytes.remove_prefix(bytes.find('\n') + 1);
    }
    index_ = start_;
    pending_ = false;
    return bytes;
  }

  void EndLine(bool at_newline) {
    if (index_ >= start_) {
      if (at_newline && !line_.empty() && line_.back() == '\r')
        line_.pop_back();
      if (!drop_invalid_ || IsUtf8(line_)) lines_.push_back(std::move(line_));
      line_.clear();
    }
    ++index_;
    pending_ = false;
  }

  const uint64_t start_;
  const std::optional<uint64_t> count_;
  const bool drop_invalid_;
  uint64_t index_ = 0;    // physical index of the line in progress
  bool pending_ = false;  // the line in progress has bytes
  std::string line_;
  std::vector<std::string> lines_;
};

Status ReadBuffered(int fd, LineCollector& lines) {
  char buffer[kLineBufferSize];
  while (!lines.full()) {
    auto n = sys::Read(fd, buffer, sizeof buffer);
    if (!n) return Fail(std::move(n.error()));
    if (*n == 0) {
      lines.Finish();
      break;
    }
    lines.Feed(std::string_view(buffer, *n));
  }
  return {};
}

// Reads at most `size` bytes (the size when the road was chosen, as a mapping
// would see), checking UTF-8 across chunk boundaries: a character cut by a
// boundary is carried to the next chunk.
Status ReadLarge(int fd, uint64_t size, LineCollector& lines) {
  std::string buffer(kChunkSize + kCarryRoom, '\0');
  size_t carry = 0;
  uint64_t base = 0;  // file position of buffer[0]
  uint64_t left = size;
  for (;;) {
    auto n = sys::Read(fd, buffer.data() + carry,
                       std::min<uint64_t>(kChunkSize, left));
    if (!n) return Fail(std::move(n.error()));
    left -= *n;
    bool end = *n == 0 || left == 0;
    std::string_view chunk(buffer.data(), carry + *n);
    size_t valid = chunk.size();
    if (auto error = ValidateUtf8(chunk)) {
      if (end || error->error_len != 0) {
        error->valid_up_to += base;
        return Fail(
            FsError::Internal("Invalid UTF-8: " + Utf8ErrorText(*error)));
      }
      valid = error->valid_up_to;
    }
    lines.Feed(chunk.substr(0, valid));
    carry = chunk.size() - valid;
    std::memmove(buffer.data(), buffer.data() + valid, carry);
    base += valid;
    if (end) break;
  }
  lines.Finish();
  return {};
}

}  // namespace

Result<std::vector<std::string>> read_lines(const std::string& path,
                                            uint64_t start_line,
                                            std::optional<uint64_t> count) {
  auto file = OpenForReading(path);
  if (!file) return Fail(std::move(file.error()));
  const int fd = file->fd.get();
  uint64_t size = static_cast<uint64_t>(file->status.st_size);
  bool large = size > kLargeFileThreshold;
  try {
    LineCollector lines(start_line, count, /*drop_invalid=*/!large);
    auto read = large ? ReadLarge(fd, size, lines) : ReadBuffered(fd, lines);
    if (!read) return Fail(std::move(read.error()));
    return lines.Take();
  } catch (const std::bad_alloc&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  }
}

}  // namespace tolvane::io
