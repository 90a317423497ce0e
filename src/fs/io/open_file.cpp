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

// The links a write follows to make a missing destination, as many as the
// kernel follows in one lookup (MAXSYMLINKS): past them, ELOOP.
constexpr int kMaxLinkSteps = 40;

// Where the link `link` holding `target` leads: a relative target is taken
// from the link's directory, kept as text (no component is resolved here).
std::string LinkDestination(const std::string& link,
                            const std::string& target) {
  if (target.starts_with('/')) return target;
  const size_t slash = link.rfind('/');
  if (slash == std::string::npos) return target;
  return link.substr(0, slash + 1) + target;
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
  // `name` is the caller's path, then the destination of each dangling link
  // on the way; every error names the caller's path.
  std::string name = path;
  for (int step = 0; step <= kMaxLinkSteps; ++step) {
    auto fd = sys::OpenCheckedAt(AT_FDCWD, name.c_str(), O_WRONLY | O_TRUNC,
                                 /*follow=*/true);
    if (fd || fd.error().os_code() != ENOENT) return fd;
    // Missing, or a dangling link: made exclusively, which neither follows a
    // link nor opens what is there, so the descriptor can only be a new file.
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOCTTY;
    fd = sys::Open(name, kCreate, 0666);
    if (fd) return fd;
    if (fd.error().os_code() != EEXIST)
      return Fail(NotFoundOr(std::move(fd.error()), path));
    // The name is taken. A dangling link leads on to its destination, made
    // the same way; anything else (made there meanwhile) goes back through
    // the checked open.
    if (auto target = sys::ReadLink(name))
      name = LinkDestination(name, *target);
  }
  return Fail(FsError::Io(IoError::FromErrno(ELOOP)));
}

}  // namespace tolvane::io
