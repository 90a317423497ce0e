#include "fs/sys/file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "fs/path/path.h"

namespace tolvane::sys {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

FsError LastError() { return FsError::Io(IoError::Last()); }

int OpenRaw(const std::string& path, int flags, mode_t mode) {
  if (HasNul(path)) {
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Result<UniqueFd> Open(const std::string& path, int flags, mode_t mode) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  int fd = OpenRaw(path, flags, mode);
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

namespace {
template <typename F>
Result<struct stat> StatWith(const std::string& path, F call) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  struct stat st;
  if (call(path.c_str(), &st) != 0) return Fail(LastError());
  return st;
}
}  // namespace

Result<struct stat> Stat(const std::string& path) {
  return StatWith(path, ::stat);
}
Result<struct stat> Lstat(const std::string& path) {
  return StatWith(path, ::lstat);
}

Result<struct stat> Fstat(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail(LastError());
  return st;
}

Result<std::string> ReadLink(const std::string& path) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  std::string text(256, '\0');
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
    if (n < 0) return Fail(LastError());
    // A text that fills the buffer may have been cut short.
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return text;
    }
    text.resize(text.size() * 2);
  }
}

Result<size_t> ReadOnce(int fd, void* buffer, size_t length) {
  ssize_t n = ::read(fd, buffer, length);
  if (n < 0) return Fail(LastError());
  return static_cast<size_t>(n);
}

Result<size_t> Read(int fd, void* buffer, size_t length) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, length);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Fail(LastError());
  }
}

Result<std::string> ReadToEnd(int fd, uint64_t size_hint) {
  std::string data;
  try {
    // Room for the whole file and one byte more, so that the read that finds
    // the end needs no growth; the buffer is never zero-filled.
    size_t capacity = 8192;
    if (size_hint > 0 && size_hint < SIZE_MAX)
      capacity = static_cast<size_t>(size_hint) + 1;
    std::optional<FsError> failure;
    size_t filled = 0;
    for (bool end = false; !end && !failure;) {
      if (filled == capacity) capacity *= 2;
      // `op` may not touch `data` itself: it reads into the buffer it is given.
      data.resize_and_overwrite(capacity, [&](char* buffer, size_t size) {
        auto n = Read(fd, buffer + filled, size - filled);
        if (!n) {
          failure = std::move(n.error());
        } else if (*n == 0) {
          end = true;
        } else {
          filled += *n;
        }
        return filled;
      });
    }
    if (failure) return Fail(std::move(*failure));
  } catch (const std::bad_alloc&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  } catch (const std::length_error&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  }
  return data;
}

Result<size_t> ReadFull(int fd, void* buffer, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    auto n = Read(fd, static_cast<char*>(buffer) + filled, length - filled);
    if (!n) return Fail(std::move(n.error()));
    if (*n == 0) break;
    filled += *n;
  }
  return filled;
}

Status WriteAll(int fd, std::string_view data) {
  constexpr size_t kMaxWrite = INT_MAX;
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), std::min(data.size(), kMaxWrite));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(LastError());
    }
    if (n == 0)
      return Fail(
          FsError::Io(IoError::Message("failed to write whole buffer")));
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

Result<size_t> ReadAt(int fd, void* buffer, size_t length, uint64_t offset) {
  for (;;) {
    ssize_t n = ::pread(fd, buffer, length, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return Fail(LastError());
  }
}

Status Fsync(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Fail(LastError());
  }
  return {};
}

Status Fchmod(int fd, mode_t mode) {
  if (::fchmod(fd, mode) != 0) return Fail(LastError());
  return {};
}

Status Rename(const std::string& from, const std::string& to) {
  if (HasNul(from) || HasNul(to))
    return Fail(FsError::Io(IoError::FromErrno(EINVAL)));
  if (::rename(from.c_str(), to.c_str()) != 0) return Fail(LastError());
  return {};
}

void RemoveFile(const std::string& path) {
  if (!HasNul(path)) ::unlink(path.c_str());
}

bool GetEntropy(void* buffer, size_t length) {
  return ::getentropy(buffer, length) == 0;
}

namespace {
bool IsDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

Status CreateDirAll(const std::string& path, std::vector<std::string>* made) {
  if (path.empty()) return {};
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  auto mkdir = [&] {
    if (::mkdir(path.c_str(), 0777) != 0) return false;
    if (made != nullptr) made->push_back(path);
    return true;
  };
  if (mkdir()) return {};
  if (errno == ENOENT) {
    Parent parent = ParentOf(path);
    if (parent.has_parent) {
      if (auto ancestors = CreateDirAll(parent.path, made); !ancestors)
        return ancestors;
    }
    if (mkdir()) return {};
  }
  int saved = errno;
  if (IsDir(path)) return {};
  return Fail(FsError::Io(IoError::FromErrno(saved)));
}

Result<std::string> GetCwd() {
  std::vector<char> buffer(512);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr)
      return std::string(buffer.data());
    if (errno != ERANGE) return Fail(LastError());
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace tolvane::sys
