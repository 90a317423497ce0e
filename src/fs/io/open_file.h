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

// A file opened for reading, with its status.
struct ReadableFile {
  sys::UniqueFd fd;
  struct stat status;
};

// Opens `path` (a link followed) read-only for one of the reads, by
// sys::OpenFileAt's rule: a FIFO, socket or device is refused with Io "not a
// regular file" without being opened, since opening one can wait for a writer
// or act on the device, and reading one need not end. A directory is opened;
// reading it then fails.
[[nodiscard]] Result<ReadableFile> OpenForReading(const std::string& path);

// Opens `path` (a link followed) for the direct write, truncated, by the same
// rule: a FIFO, socket or device is refused with Io "not a regular file" and
// a directory fails with EISDIR. A missing file is created exclusively (0666,
// umask applied); so is the destination of a dangling link, found by reading
// the link (a relative target from the link's directory), never by following
// a name that wasn't typed. A name taken meanwhile is typed again; a chain of
// more than 40 links, or names that keep changing, fail with ELOOP. Errors
// name `path`. Never blocks.
[[nodiscard]] Result<sys::UniqueFd> OpenForWriting(const std::string& path);

}  // namespace tolvane::io
