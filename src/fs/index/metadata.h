// How an index entry's FileMetadata is computed from one metadata record, and
// the binary sniff. Used by the full build (the entry's own lstat) and by
// single-path updates (stat). Thread-safe.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/error/records.h"

namespace tolvane {

// True when one read of at most 512 bytes from the start of the file finds a
// NUL byte. Every failure gives false. Never blocks: opened non-blocking, and
// only regular files are read (a FIFO or device, also behind a symbolic link,
// counts as not binary).
bool is_binary_file(const std::string& path);

// size, mtime (0.0 before the epoch), is_dir from the record; is_binary only
// for a non-empty non-directory, by sniffing `path`.
FileMetadata MetadataFromStat(const struct stat& record,
                              const std::string& path);

}  // namespace tolvane
