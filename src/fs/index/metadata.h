// How an index entry's FileMetadata is computed from one metadata record, and
// the binary sniff. Used by the full build (the entry's own lstat) and by
// single-path updates (stat). Thread-safe.
#pragma once

#include <sys/stat.h>

#include <string_view>

#include "fs/error/records.h"

namespace tolvane {

// The binary rule on the bytes that one read from the start of a file
// returned: a NUL among the first kSniffBytes of them.
inline constexpr size_t kSniffBytes = 512;
bool IsBinaryHead(std::string_view bytes);

// The binary sniff of `name` relative to the directory `dir_fd` (AT_FDCWD for
// a path): true when one read of at most 512 bytes from the start of the file
// finds a NUL byte. Every failure gives false. The type is learnt first (a
// link followed) and only a non-empty regular file is opened, without
// blocking: a FIFO, socket, device or empty file is never opened.
bool IsBinaryAt(int dir_fd, const char* name);

// size, mtime (0.0 before the epoch), is_dir from the record; is_binary only
// for a non-empty non-directory, by sniffing `name` relative to `dir_fd` (a
// record of a regular file needs no second look at its type).
FileMetadata MetadataFromStat(const struct stat& record, int dir_fd,
                              const char* name);

}  // namespace tolvane
