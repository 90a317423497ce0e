// The platform layer: every POSIX file call of the core goes through here, so
// that EINTR handling, the NUL-in-path rule and the rendering of errno into an
// FsError live in one place. Functions are thread-safe; a UniqueFd is owned by
// one thread at a time.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/error/fs_error.h"

namespace tolvane::sys {

// Owns one open descriptor; closes it (ignoring the result) when released.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// An FsError::Io for the current errno.
FsError LastError();
// True when `path` holds a NUL byte, which no system call can be given.
inline bool HasNul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

// open(2), repeated on EINTR, O_CLOEXEC added. A path holding NUL fails without
// a call.
[[nodiscard]] Result<UniqueFd> Open(const std::string& path, int flags,
                                    mode_t mode = 0);
// The same, but keeps the raw errno (for callers whose error rule depends on
// it). Returns -1 and sets errno (EINVAL for a NUL byte) on failure.
int OpenRaw(const std::string& path, int flags, mode_t mode = 0);

[[nodiscard]] Result<struct stat> Stat(const std::string& path);
[[nodiscard]] Result<struct stat> Lstat(const std::string& path);
[[nodiscard]] Result<struct stat> Fstat(int fd);
// readlink(2): the text a symbolic link holds, whatever its length.
[[nodiscard]] Result<std::string> ReadLink(const std::string& path);

// One read(2) call; an interrupted call is not repeated.
[[nodiscard]] Result<size_t> ReadOnce(int fd, void* buffer, size_t length);
// read(2), repeated on EINTR, until it returns data, end of file (0) or an
// error.
[[nodiscard]] Result<size_t> Read(int fd, void* buffer, size_t length);
// Reads the whole rest of the file until read returns 0, into a buffer sized
// for `size_hint` bytes (a regular file's st_size; 0 when unknown). Allocation
// failure is the Io error "out of memory".
[[nodiscard]] Result<std::string> ReadToEnd(int fd, uint64_t size_hint);
// pread(2) at `offset`, repeated on EINTR. An offset of 2^63 or more is refused
// by the system (EINVAL); one at or past the end of the file reads 0 bytes.
[[nodiscard]] Result<size_t> ReadAt(int fd, void* buffer, size_t length,
                                    uint64_t offset);
// read(2), repeated (and on EINTR) until `length` bytes are read or the file
// ends; the number of bytes read.
[[nodiscard]] Result<size_t> ReadFull(int fd, void* buffer, size_t length);
// Writes all of `data` in calls of at most 2^31-1 bytes; EINTR repeated;
// a call that writes nothing fails with "failed to write whole buffer".
[[nodiscard]] Status WriteAll(int fd, std::string_view data);

// fsync(2), repeated on EINTR.
[[nodiscard]] Status Fsync(int fd);
[[nodiscard]] Status Fchmod(int fd, mode_t mode);
// rename(2); a path holding NUL fails with EINVAL without a call.
[[nodiscard]] Status Rename(const std::string& from, const std::string& to);
// unlink(2), for clean-up: the result is ignored.
void RemoveFile(const std::string& path);
// Fills `buffer` (at most 256 bytes) from getentropy(3); false when the system
// can't.
bool GetEntropy(void* buffer, size_t length);

// mkdir -p: creates `path` and its missing ancestors with mode 0777 (umask
// applies). A directory that exists when its creation fails counts as made; the
// empty path counts as existing. `*made`, when given, receives each directory
// this call created, outermost first.
[[nodiscard]] Status CreateDirAll(const std::string& path,
                                  std::vector<std::string>* made = nullptr);
[[nodiscard]] Result<std::string> GetCwd();

}  // namespace tolvane::sys
