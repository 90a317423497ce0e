// How an index entry's FileMetadata is computed from one metadata record, and
// the binary sniff. Used by the full build (the entry's own lstat) and by
// single-path updates (stat). Thread-safe.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string_view>

#include "fs/error/records.h"

namespace tolvane {

// The binary rule on the bytes that one read from the start of a file
// returned: a NUL among the first kSniffBytes of them.
inline constexpr size_t kSniffBytes = 512;
bool IsBinaryHead(std::string_view bytes);

// The binary sniff of `name` relative to the directory `dir_fd` (AT_FDCWD for
// a path): true when one read of at most 512 bytes from the start of the file
// finds a NUL byte. Every failure gives false. Never blocks: opened
// non-blocking, and only regular files are read (a FIFO or device, also behind
// a symbolic link, counts as not binary); `known_regular` skips that check
// when a stat of the name itself said regular file.
bool IsBinaryAt(int dir_fd, const char* name, bool known_regular);

// size, mtime (0.0 before the epoch), is_dir from the record; is_binary only
// for a non-empty non-directory, by sniffing `name` relative to `dir_fd`.
FileMetadata MetadataFromStat(const struct stat& record, int dir_fd,
                              const char* name);

// The same rule for an entry that the directory listing calls a regular file,
// with one open: its own metadata from the descriptor (not following a link)
// and the sniff from the same descriptor. nullopt when it can't be opened so
// (no read permission, or it was replaced by a link): the caller stats instead.
std::optional<FileMetadata> RegularFileMetadataAt(int dir_fd, const char* name);

}  // namespace tolvane
