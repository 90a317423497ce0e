#include "fs/io/read.h"

#include <algorithm>
#include <climits>
#include <new>

#include "fs/io/open_file.h"
#include "fs/sys/file.h"
#include "fs/utf8/utf8.h"

namespace tolvane::io {

Result<std::string> read_file(const std::string& path) {
  auto fd = OpenFile(path, O_RDONLY);
  if (!fd) return Fail(std::move(fd.error()));
  auto content = sys::ReadToEnd(fd->get());
  if (!content) return content;
  if (!IsUtf8(*content))
    return Fail(FsError::Io(IoError::Message(kInvalidUtf8StreamText)));
  return content;
}

Result<std::string> read_file_range(const std::string& path, uint64_t offset,
                                    uint64_t limit) {
  auto fd = OpenFile(path, O_RDONLY);
  if (!fd) return Fail(std::move(fd.error()));
  if (auto at = sys::SeekTo(fd->get(), offset); !at)
    return Fail(std::move(at.error()));

  // One read never returns more than INT_MAX bytes, nor more than a regular
  // file holds after `offset`, so bounding the buffer by both changes no result
  // and keeps a huge limit cheap.
  uint64_t length = std::min<uint64_t>(limit, INT_MAX);
  if (auto st = sys::Fstat(fd->get()); st && S_ISREG(st->st_mode)) {
    uint64_t size = static_cast<uint64_t>(st->st_size);
    length = std::min(length, size > offset ? size - offset : 0);
  }
  std::string buffer;
  try {
    buffer.resize(length);
  } catch (const std::bad_alloc&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  }
  auto got = sys::ReadOnce(fd->get(), buffer.data(), buffer.size());
  if (!got) return Fail(std::move(got.error()));
  buffer.resize(*got);
  if (auto error = ValidateUtf8(buffer)) {
    return Fail(FsError::Internal("Invalid UTF-8: " + Utf8ErrorText(*error)));
  }
  return buffer;
}

}  // namespace tolvane::io
