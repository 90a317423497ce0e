#include "fs/sys/dir.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <memory>
#include <new>

namespace tolvane::sys {
namespace {

// getdents64 needs room for at least one record; give it this much free space
// per call.
constexpr size_t kListingChunk = 32 * 1024;

}  // namespace

Result<UniqueFd> OpenDirAt(int dir_fd, const char* name, bool follow) {
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC |
              (follow ? 0 : O_NOFOLLOW);
  int fd;
  do {
    fd = ::openat(dir_fd, name, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

Result<UniqueFd> OpenFileAt(int dir_fd, const std::string& path, bool follow) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  return OpenFileAt(dir_fd, path.c_str(), follow);
}

Result<UniqueFd> OpenFileAt(int dir_fd, const char* name, bool follow) {
  const int flags =
      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd;
  do {
    fd = ::openat(dir_fd, name, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

Result<struct stat> StatAt(int dir_fd, const char* name, bool follow) {
  struct stat st;
  if (::fstatat(dir_fd, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(LastError());
  return st;
}

Result<std::string> RealPath(const std::string& path) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  std::unique_ptr<char, decltype(&::free)> resolved(
      ::realpath(path.c_str(), nullptr), &::free);
  if (!resolved) return Fail(LastError());
  return std::string(resolved.get());
}

Status ReadDirRecords(int fd, std::string* buffer, size_t* used) {
  *used = 0;
  try {
    for (;;) {
      if (buffer->size() - *used < kListingChunk)
        buffer->resize(*used + kListingChunk);
      ssize_t n =
          ::getdents64(fd, buffer->data() + *used, buffer->size() - *used);
      if (n == 0) return {};
      if (n < 0) {
        if (errno == EINTR) continue;
        return Fail(LastError());
      }
      *used += static_cast<size_t>(n);
    }
  } catch (const std::bad_alloc&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  }
}

}  // namespace tolvane::sys
