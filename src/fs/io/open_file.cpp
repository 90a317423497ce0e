#include "fs/io/open_file.h"

#include <cerrno>

#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

FsError NotFoundOr(FsError error, const std::string& path) {
  if (error.os_code() == ENOENT)
    return FsError::PathNotFound(ToUtf8Lossy(path));
  return error;
}

bool Readable(const struct stat& status) {
  return S_ISREG(status.st_mode) || S_ISDIR(status.st_mode);
}

FsError NotRegular() {
  return FsError::Io(IoError::Message(kNotRegularFileText));
}

}  // namespace

Result<sys::UniqueFd> OpenFile(const std::string& path, int flags,
                               mode_t mode) {
  auto fd = sys::Open(path, flags, mode);
  if (!fd) return Fail(NotFoundOr(std::move(fd.error()), path));
  return fd;
}

Result<ReadableFile> OpenForReading(const std::string& path) {
  auto before = sys::Stat(path);
  if (!before) return Fail(NotFoundOr(std::move(before.error()), path));
  if (!Readable(*before)) return Fail(NotRegular());
  auto fd = OpenFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd) return Fail(std::move(fd.error()));
  auto status = sys::Fstat(fd->get());
  if (!status) return Fail(std::move(status.error()));
  if (!Readable(*status)) return Fail(NotRegular());
  return ReadableFile{std::move(*fd), *status};
}

}  // namespace tolvane::io
