#include "fs/io/write_fast.h"

#include "fs/io/open_file.h"
#include "fs/path/path.h"
#include "fs/sys/file.h"

namespace tolvane::io {

Status write_file_fast(const std::string& path, std::string_view content) {
  Parent parent = ParentOf(path);
  if (parent.has_parent && !sys::Stat(parent.path)) {
    if (auto made = sys::CreateDirAll(parent.path); !made) return made;
  }
  auto fd = OpenForWriting(path);
  if (!fd) return Fail(std::move(fd.error()));
  return sys::WriteAll(fd->get(), content);
}

}  // namespace tolvane::io
