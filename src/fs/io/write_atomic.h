// The atomic write: content goes to a new temporary file (".tmp" + 6 random
// characters, created exclusively with mode 0600) in the target's directory, is
// flushed, takes over the permission bits of the regular file it replaces
// (where the file system allows), and is renamed over the target; the
// directory is flushed after the rename where the file system supports it.
// Thread-safe: the name generator is per thread, nothing else is shared.
#pragma once

#include <string>
#include <string_view>

#include "fs/error/fs_error.h"

namespace tolvane::io {

// Replaces the whole of `target` with `content` so that a reader sees the old
// file or the whole new one, and a crash after success keeps the new one. A
// symbolic link at `target` is replaced. Once the rename has succeeded the
// call succeeds. Every failure is Io and leaves `target` unchanged and no
// temporary file; directories created for the target stay.
//
// Texts: a temporary-file step's error is followed by " at path " and the
// quoted path (QuotePath); a failed rename is "Failed to persist file: failed
// to persist temporary file: " + the system error; every other failure is the
// system error alone.
[[nodiscard]] Status write_atomic(const std::string& target,
                                  std::string_view content);

}  // namespace tolvane::io
