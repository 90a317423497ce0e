#include "fs/io/open_file.h"

#include <cerrno>

#include "fs/utf8/utf8.h"

namespace tolvane::io {

Result<sys::UniqueFd> OpenFile(const std::string& path, int flags,
                               mode_t mode) {
  if (sys::HasNul(path))
    return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  int fd = sys::OpenRaw(path, flags, mode);
  if (fd >= 0) return sys::UniqueFd(fd);
  if (errno == ENOENT) return Fail(FsError::PathNotFound(ToUtf8Lossy(path)));
  return Fail(sys::LastError());
}

}  // namespace tolvane::io
