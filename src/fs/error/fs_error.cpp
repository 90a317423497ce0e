#include "fs/error/fs_error.h"

#include <cerrno>
#include <cstring>

namespace tolvane {

IoError IoError::Last() { return FromErrno(errno); }

std::string IoError::text() const {
  if (code_ == 0) return message_;
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = strerror_r(code_, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code_) + ")";
}

std::string FsError::message() const {
  switch (kind_) {
    case Kind::kIo:
      return text_;
    case Kind::kPathNotFound:
      return "Path not found: " + text_;
    case Kind::kTextNotUnique:
      return "Text not unique: found " + std::to_string(count_) +
             " occurrences";
    case Kind::kTextNotFound:
      return "Text not found in file";
    case Kind::kIndexBuilding:
      return "Index is still building, please wait";
    case Kind::kGlob:
      return "Glob error: " + text_;
    case Kind::kRegex:
      return "Regex error: " + text_;
    case Kind::kInternal:
      return "Internal error: " + text_;
  }
  return text_;
}

}  // namespace tolvane
