#include "fs/index/metadata.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "fs/sys/file.h"

namespace tolvane {

bool is_binary_file(const std::string& path) {
  int fd = sys::OpenRaw(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  sys::UniqueFd file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char buffer[512];
  auto n = sys::ReadOnce(fd, buffer, sizeof buffer);
  return n && std::memchr(buffer, 0, *n) != nullptr;
}

FileMetadata MetadataFromStat(const struct stat& record,
                              const std::string& path) {
  FileMetadata metadata;
  metadata.size = static_cast<uint64_t>(record.st_size);
  const struct timespec& t = record.st_mtim;
  if (t.tv_sec >= 0 && t.tv_nsec >= 0 && t.tv_nsec < 1000000000) {
    metadata.mtime =
        static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }
  metadata.is_dir = S_ISDIR(record.st_mode);
  metadata.is_binary =
      metadata.size != 0 && !metadata.is_dir && is_binary_file(path);
  return metadata;
}

}  // namespace tolvane
