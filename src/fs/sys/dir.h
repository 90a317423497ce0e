// The platform layer's directory calls: opening and listing directories
// relative to a directory descriptor, stat relative to one, and realpath.
// Errors are rendered as in fs/sys/file.h. Functions are thread-safe; a listing
// buffer belongs to its caller.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "fs/error/fs_error.h"
#include "fs/sys/file.h"

namespace tolvane::sys {

// The start of OpenCheckedAt's failure text where /proc/self/fd can't be
// reached; the system error follows.
inline constexpr std::string_view kNoProcText =
    "cannot reopen through /proc/self/fd: ";

// openat(2) of a directory for listing: O_RDONLY | O_DIRECTORY | O_NONBLOCK |
// O_CLOEXEC, and O_NOFOLLOW unless `follow`. `dir_fd` may be AT_FDCWD; `name`
// is NUL-terminated.
[[nodiscard]] Result<UniqueFd> OpenDirAt(int dir_fd, const char* name,
                                         bool follow);
// Opens a regular file or a directory, and nothing else, with `flags` |
// O_NONBLOCK | O_NOCTTY | O_CLOEXEC. The name's own type is learnt first; a
// regular file or directory is then opened by the name with O_NOFOLLOW, so a
// link swapped in meanwhile is refused rather than followed. A link (when
// `follow`) is located with O_PATH, which neither waits on a FIFO nor reaches a
// device's driver, and only a regular file or directory is opened through that
// descriptor (/proc/self/fd/N). The open descriptor is checked again. A FIFO,
// socket, device or (not followed) link fails with Io "not a regular file"; a
// link without /proc, with Io kNoProcText and the system error (never ENOENT
// itself: the file was there). What remains open to a race is a special file
// renamed onto the name, within its file system, between the type check and
// the open: a FIFO is then opened without blocking and refused at once (or,
// written without a reader, refused by the open's ENXIO); a device node is
// opened, which making one takes the right to create device nodes for.
// `*status`, when given, receives the opened file's status.
[[nodiscard]] Result<UniqueFd> OpenCheckedAt(int dir_fd, const char* name,
                                             int flags, bool follow,
                                             struct stat* status = nullptr);
// OpenCheckedAt for a caller that has just learnt the type of `name` (`seen`:
// its own status or its target's, or only st_mode, from a directory listing):
// that is the type learnt first. A name that has become a link since, or was
// one, takes the link's road.
[[nodiscard]] Result<UniqueFd> OpenKnownAt(int dir_fd, const char* name,
                                           int flags, bool follow,
                                           const struct stat& seen,
                                           struct stat* status = nullptr);
// OpenCheckedAt for reading (O_RDONLY). A path holding NUL fails without a
// call.
[[nodiscard]] Result<UniqueFd> OpenFileAt(int dir_fd, const std::string& path,
                                          bool follow = true,
                                          struct stat* status = nullptr);
// The same for a NUL-terminated name.
[[nodiscard]] Result<UniqueFd> OpenFileAt(int dir_fd, const char* name,
                                          bool follow = true,
                                          struct stat* status = nullptr);
// fstatat(2): the link's own status unless `follow`.
[[nodiscard]] Result<struct stat> StatAt(int dir_fd, const char* name,
                                         bool follow);
// realpath(3): the absolute path without links, "." or ".." components.
[[nodiscard]] Result<std::string> RealPath(const std::string& path);

// Reads the whole listing of an open directory with getdents64 into `*buffer`,
// which only grows (a buffer reused across calls costs no allocation). `*used`
// is the number of record bytes read; on failure it counts the records read
// before the failure.
[[nodiscard]] Status ReadDirRecords(int fd, std::string* buffer, size_t* used);

// One entry of a listing: its name (NUL-terminated in the buffer), its d_type
// (DT_UNKNOWN when the file system doesn't tell), and the offset of its record
// in the listing given to ForEachDirRecord.
struct DirRecord {
  std::string_view name;
  unsigned char type;
  size_t offset;
};

// Calls `visit(DirRecord)` for each record of a listing read by ReadDirRecords,
// "." and ".." left out, in the order the kernel gave them.
template <typename Visit>
void ForEachDirRecord(std::string_view records, Visit&& visit) {
  size_t at = 0;
  while (at < records.size()) {
    const char* base = records.data() + at;
    unsigned short length;
    std::memcpy(&length, base + offsetof(struct dirent64, d_reclen),
                sizeof length);
    const char* name = base + offsetof(struct dirent64, d_name);
    std::string_view text(name, std::strlen(name));
    if (text != "." && text != "..") {
      visit(DirRecord{
          text,
          static_cast<unsigned char>(base[offsetof(struct dirent64, d_type)]),
          at});
    }
    at += length;
  }
}

}  // namespace tolvane::sys
