// The open rules shared by the reads and the direct write: a missing file is
// PathNotFound with the path's text, any other failure (a NUL byte in the path
// included) is Io. Thread-safe.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "fs/error/fs_error.h"
#include "fs/sys/file.h"

namespace tolvane::io {

// open(2) of `path` with `flags` (O_CLOEXEC added, EINTR repeated). ENOENT
// becomes PathNotFound(path as UTF-8, invalid bytes replaced); "file name
// contained an unexpected NUL byte" and every other errno become Io.
[[nodiscard]] Result<sys::UniqueFd> OpenFile(const std::string& path, int flags,
                                             mode_t mode = 0);

// A file opened for reading, with the status of the open descriptor.
struct ReadableFile {
  sys::UniqueFd fd;
  struct stat status;
};

// Opens `path` read-only for one of the reads. Its type is learnt first (a link
// followed): a FIFO, socket or device is refused with Io "not a regular file"
// without being opened, since opening one can wait for a writer or act on the
// device, and reading one need not end. A directory is opened; reading it then
// fails. Opened without blocking, and checked again on the descriptor.
[[nodiscard]] Result<ReadableFile> OpenForReading(const std::string& path);

}  // namespace tolvane::io
