// The direct write: the present file is opened, truncated and written in place
// (its mode, owner and hard links stay; a symbolic link is followed). No
// temporary file and no flush, so a reader may see it partly written. Keeps no
// state; thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "fs/error/fs_error.h"

namespace tolvane::io {

// Creates the missing parent directories (0777 less the umask), opens `path`
// truncated by OpenForWriting's rule (a FIFO, socket or device is refused with
// Io "not a regular file"; a new file gets 0666 less the umask) and writes all
// of `content`. A missing file at the open (e.g. a dangling link
// into a missing directory) is PathNotFound with the path's text; every other
// failure is Io with the system error's text alone.
[[nodiscard]] Status write_file_fast(const std::string& path,
                                     std::string_view content);

}  // namespace tolvane::io
