#include "fs/io/open_file.h"

#include <fcntl.h>

#include <cerrno>

#include "fs/sys/dir.h"
#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

FsError NotFoundOr(FsError error, const std::string& path) {
  if (error.os_code() == ENOENT)
    return FsError::PathNotFound(ToUtf8Lossy(path));
  return error;
}

FsError NotRegular() {
  return FsError::Io(IoError::Message(kNotRegularFileText));
}

// open(2) of `path` with `flags` (O_CLOEXEC added, EINTR repeated); ENOENT
// becomes PathNotFound.
Result<sys::UniqueFd> OpenFile(const std::string& path, int flags,
                               mode_t mode) {
  auto fd = sys::Open(path, flags, mode);
  if (!fd) return Fail(NotFoundOr(std::move(fd.error()), path));
  return fd;
}

}  // namespace

Result<ReadableFile> OpenForReading(const std::string& path) {
  ReadableFile file;
  auto fd = sys::OpenFileAt(AT_FDCWD, path, /*follow=*/true, &file.status);
  if (!fd) return Fail(NotFoundOr(std::move(fd.error()), path));
  file.fd = std::move(*fd);
  return file;
}

Result<sys::UniqueFd> OpenForWriting(const std::string& path) {
  if (sys::HasNul(path))
    return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  auto fd = sys::OpenCheckedAt(AT_FDCWD, path.c_str(), O_WRONLY | O_TRUNC,
                               /*follow=*/true);
  if (fd || fd.error().os_code() != ENOENT) return fd;
  // Missing: made exclusively, so the descriptor can only be the new file.
  constexpr int kCreate = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY;
  fd = OpenFile(path, kCreate | O_EXCL, 0666);
  if (fd || fd.error().os_code() != EEXIST) return fd;
  // A dangling link, followed to make its destination: what it reached is
  // kept only when it is a regular file.
  fd = OpenFile(path, kCreate | O_TRUNC, 0666);
  if (!fd) return fd;
  auto status = sys::Fstat(fd->get());
  if (!status) return Fail(std::move(status.error()));
  if (!S_ISREG(status->st_mode)) return Fail(NotRegular());
  return fd;
}

}  // namespace tolvane::io
