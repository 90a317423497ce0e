// The open rule shared by the reads and the direct write: a missing file is
// PathNotFound with the path's text, any other failure (a NUL byte in the path
// included) is Io. Thread-safe.
#pragma once

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

}  // namespace tolvane::io
