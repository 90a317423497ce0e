#include "fs/index/metadata.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fs/sys/file.h"

namespace tolvane {
namespace {

// size, mtime and is_dir of the record; is_binary left false.
FileMetadata Fields(const struct stat& record) {
  FileMetadata metadata;
  metadata.size = static_cast<uint64_t>(record.st_size);
  const struct timespec& t = record.st_mtim;
  if (t.tv_sec >= 0 && t.tv_nsec >= 0 && t.tv_nsec < 1000000000) {
    metadata.mtime =
        static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }
  metadata.is_dir = S_ISDIR(record.st_mode);
  return metadata;
}

// One read of at most kSniffBytes bytes from the start of an open regular
// file.
bool SniffOpen(int fd) {
  char buffer[kSniffBytes];
  auto n = sys::ReadOnce(fd, buffer, sizeof buffer);
  return n && IsBinaryHead(std::string_view(buffer, *n));
}

constexpr int kSniffFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

bool IsBinaryHead(std::string_view bytes) {
  return bytes.substr(0, kSniffBytes).find('\0') != std::string_view::npos;
}

bool IsBinaryAt(int dir_fd, const char* name, bool known_regular) {
  int fd = ::openat(dir_fd, name, kSniffFlags);
  if (fd < 0) return false;
  sys::UniqueFd file(fd);
  struct stat st;
  if (!known_regular && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    return false;
  }
  return SniffOpen(fd);
}

FileMetadata MetadataFromStat(const struct stat& record, int dir_fd,
                              const char* name) {
  FileMetadata metadata = Fields(record);
  metadata.is_binary = metadata.size != 0 && !metadata.is_dir &&
                       IsBinaryAt(dir_fd, name, S_ISREG(record.st_mode));
  return metadata;
}

std::optional<FileMetadata> RegularFileMetadataAt(int dir_fd,
                                                  const char* name) {
  int fd = ::openat(dir_fd, name, kSniffFlags | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  sys::UniqueFd file(fd);
  struct stat record;
  if (::fstat(fd, &record) != 0) return std::nullopt;
  FileMetadata metadata = Fields(record);
  metadata.is_binary =
      metadata.size != 0 && S_ISREG(record.st_mode) && SniffOpen(fd);
  return metadata;
}

}  // namespace tolvane
