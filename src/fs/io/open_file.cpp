#include "fs/io/open_file.h"

#include <cerrno>

#include "fs/utf8/utf8.h"

namespace tolvane::io {

Result<sys::UniqueFd> OpenFile(const std::string& path, int flags,
                               mode_t mode) {
  auto fd = sys::Open(path, flags, mode);
  if (!fd && fd.error().os_code() == ENOENT) {
    return Fail(FsError::PathNotFound(ToUtf8Lossy(path)));
  }
  return fd;
}

}  // namespace tolvane::io
