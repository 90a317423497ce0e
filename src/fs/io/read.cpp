#include "fs/io/read.h"

#include <algorithm>
#include <climits>
#include <new>

#include "fs/io/open_file.h"
#include "fs/sys/file.h"
#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

// The bytes a file holds by its status, 0 when the status doesn't tell: only
// a regular file's size counts (a directory fails at its first read), and one
// that reads as 0 may still hold bytes: the kernel's /proc and /sys files are
// made when read.
uint64_t KnownSize(const struct stat& status) {
  return S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
}

// Up to `length` bytes from `offset` on, reading until the end of the file
// and growing the buffer by what arrives (at least one read is made).
Status ReadGrowing(int fd, uint64_t offset, uint64_t length,
                   std::string* buffer) {
  constexpr uint64_t kFirstChunk = 4096;
  size_t filled = 0;
  do {
    const uint64_t room =
        std::min(length - filled, std::max<uint64_t>(kFirstChunk, filled));
    buffer->resize(filled + room);
    auto got = sys::ReadAt(fd, buffer->data() + filled, room, offset + filled);
    if (!got) return Fail(std::move(got.error()));
    filled += *got;
    buffer->resize(filled);
    if (*got == 0) break;
  } while (filled < length);
  return {};
}

}  // namespace

Result<std::string> read_file(const std::string& path) {
  auto file = OpenForReading(path);
  if (!file) return Fail(std::move(file.error()));
  auto content = sys::ReadToEnd(file->fd.get(), KnownSize(file->status));
  if (!content) return content;
  if (!IsUtf8(*content))
    return Fail(FsError::Io(IoError::Message(kInvalidUtf8StreamText)));
  return content;
}

Result<std::string> read_file_range(const std::string& path, uint64_t offset,
                                    uint64_t limit) {
  auto file = OpenForReading(path);
  if (!file) return Fail(std::move(file.error()));
  const int fd = file->fd.get();

  // One read never returns more than INT_MAX bytes, nor more than a regular
  // file holds after `offset`, so bounding the buffer by both changes no result
  // and keeps a huge limit cheap; any other file's buffer grows only by what
  // arrives.
  uint64_t length = std::min<uint64_t>(limit, INT_MAX);
  // Nor does the system read a span that ends past the largest offset: it
  // refuses the whole read. An offset of 2^63 or more is left to its refusal.
  constexpr uint64_t kMaxOffset = INT64_MAX;
  if (offset <= kMaxOffset) length = std::min(length, kMaxOffset - offset);
  std::string buffer;
  try {
    const uint64_t size = KnownSize(file->status);
    if (size == 0) {
      if (auto read = ReadGrowing(fd, offset, length, &buffer); !read)
        return Fail(std::move(read.error()));
    } else {
      length = std::min(length, size > offset ? size - offset : 0);
      buffer.resize(length);
      auto got = sys::ReadAt(fd, buffer.data(), buffer.size(), offset);
      if (!got) return Fail(std::move(got.error()));
      buffer.resize(*got);
    }
  } catch (const std::bad_alloc&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  }
  if (auto error = ValidateUtf8(buffer)) {
    return Fail(FsError::Internal("Invalid UTF-8: " + Utf8ErrorText(*error)));
  }
  return buffer;
}

}  // namespace tolvane::io
