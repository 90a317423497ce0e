#include "fs/sys/dir.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

namespace tolvane::sys {
namespace {

// getdents64 needs room for at least one record; give it this much free space
// per call.
constexpr size_t kListingChunk = 32 * 1024;

// Repeats `open` while it fails with EINTR; its descriptor or -1.
template <typename Open>
int RetryOpen(Open open) {
  int fd;
  do {
    fd = open();
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

Result<UniqueFd> OpenDirAt(int dir_fd, const char* name, bool follow) {
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC |
              (follow ? 0 : O_NOFOLLOW);
  const int fd = RetryOpen([&] { return ::openat(dir_fd, name, flags); });
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

namespace {

bool Openable(const struct stat& st) {
  return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

FsError NotRegular() {
  return FsError::Io(IoError::Message(kNotRegularFileText));
}

// Opens what the link `name` leads to: located with O_PATH, which neither
// waits on a FIFO nor reaches a device's driver, typed on that descriptor, and
// only a regular file or directory opened, through the descriptor
// (/proc/self/fd/N), so a name changed meanwhile is never what gets opened.
Result<UniqueFd> OpenThroughLink(int dir_fd, const char* name, int flags) {
  const int located =
      RetryOpen([&] { return ::openat(dir_fd, name, O_PATH | O_CLOEXEC); });
  if (located < 0) return Fail(LastError());
  UniqueFd path_fd(located);
  struct stat st;
  if (::fstat(path_fd.get(), &st) != 0) return Fail(LastError());
  if (!Openable(st)) return Fail(NotRegular());
  char through[sizeof "/proc/self/fd/" + 3 * sizeof(int)];
  std::snprintf(through, sizeof through, "/proc/self/fd/%d", path_fd.get());
  const int fd = RetryOpen([&] { return ::open(through, flags); });
  // The descriptor holds the file, so a missing name here is the road through
  // /proc (not mounted, or the process's first thread gone), never the file.
  if (fd < 0 && errno == ENOENT) {
    return Fail(FsError::Io(IoError::Message(
        std::string(kNoProcText) + IoError::FromErrno(ENOENT).text())));
  }
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

}  // namespace

Result<UniqueFd> OpenCheckedAt(int dir_fd, const char* name, int flags,
                               bool follow, struct stat* status) {
  struct stat own;
  if (::fstatat(dir_fd, name, &own, AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(LastError());
  return OpenKnownAt(dir_fd, name, flags, follow, own, status);
}

Result<UniqueFd> OpenKnownAt(int dir_fd, const char* name, int flags,
                             bool follow, const struct stat& seen,
                             struct stat* status) {
  flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  Result<UniqueFd> fd = Fail(NotRegular());
  bool link = S_ISLNK(seen.st_mode);
  if (Openable(seen)) {
    // Opened by its name, but never through a link put in its place since.
    const int opened =
        RetryOpen([&] { return ::openat(dir_fd, name, flags | O_NOFOLLOW); });
    if (opened >= 0) {
      fd = UniqueFd(opened);
    } else if (errno == ELOOP) {
      link = true;
    } else if (errno == ENXIO) {
      // Only a FIFO without a reader (written), a socket or a device without
      // its driver gives this: no longer what was typed.
      return Fail(NotRegular());
    } else {
      return Fail(LastError());
    }
  }
  if (link) {
    if (!follow) return Fail(NotRegular());
    fd = OpenThroughLink(dir_fd, name, flags);
  }
  if (!fd) return fd;
  // What was opened is what counts: its status, from the descriptor.
  struct stat st;
  if (::fstat(fd->get(), &st) != 0) return Fail(LastError());
  if (!Openable(st)) return Fail(NotRegular());
  if (status != nullptr) *status = st;
  return fd;
}

Result<UniqueFd> OpenFileAt(int dir_fd, const std::string& path, bool follow,
                            struct stat* status) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  return OpenFileAt(dir_fd, path.c_str(), follow, status);
}

Result<UniqueFd> OpenFileAt(int dir_fd, const char* name, bool follow,
                            struct stat* status) {
  return OpenCheckedAt(dir_fd, name, O_RDONLY, follow, status);
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
