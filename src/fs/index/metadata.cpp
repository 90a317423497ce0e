#include "fs/index/metadata.h"

#include <fcntl.h>

#include <cstring>

#include "fs/sys/dir.h"
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

// One read of at most kSniffBytes bytes from the start of a file whose status
// `seen` was just read as regular.
bool SniffRegular(int dir_fd, const char* name, const struct stat& seen) {
  auto fd = sys::OpenKnownAt(dir_fd, name, O_RDONLY, /*follow=*/true, seen);
  if (!fd) return false;
  char buffer[kSniffBytes];
  auto n = sys::ReadOnce(fd->get(), buffer, sizeof buffer);
  return n && IsBinaryHead(std::string_view(buffer, *n));
}

bool NonEmptyRegular(const struct stat& record) {
  return S_ISREG(record.st_mode) && record.st_size > 0;
}

}  // namespace

bool IsBinaryHead(std::string_view bytes) {
  return bytes.substr(0, kSniffBytes).find('\0') != std::string_view::npos;
}

bool IsBinaryAt(int dir_fd, const char* name) {
  auto target = sys::StatAt(dir_fd, name, /*follow=*/true);
  return target && NonEmptyRegular(*target) &&
         SniffRegular(dir_fd, name, *target);
}

FileMetadata MetadataFromStat(const struct stat& record, int dir_fd,
                              const char* name) {
  FileMetadata metadata = Fields(record);
  if (metadata.size != 0 && !metadata.is_dir) {
    metadata.is_binary = S_ISREG(record.st_mode)
                             ? SniffRegular(dir_fd, name, record)
                             : IsBinaryAt(dir_fd, name);
  }
  return metadata;
}

}  // namespace tolvane
