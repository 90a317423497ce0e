#include "fs/io/edit_replace.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "fs/io/read.h"
#include "fs/io/write_atomic.h"
#include "fs/utf8/utf8.h"

namespace tolvane::io {
namespace {

// Position of the leftmost `needle` at or after `from`, or npos. glibc's memmem
// is linear in the worst case, so no content/needle pair can make the scan
// quadratic.
size_t Find(std::string_view text, std::string_view needle, size_t from) {
  const void* hit = ::memmem(text.data() + from, text.size() - from,
                             needle.data(), needle.size());
  if (hit == nullptr) return std::string_view::npos;
  return static_cast<size_t>(static_cast<const char*>(hit) - text.data());
}

bool IsCharStart(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

}  // namespace

uint64_t CountOccurrences(std::string_view text, std::string_view old_text) {
  if (old_text.empty()) return CountChars(text) + 1;
  uint64_t count = 0;
  for (size_t at = Find(text, old_text, 0); at != std::string_view::npos;
       at = Find(text, old_text, at + old_text.size())) {
    ++count;
  }
  return count;
}

std::string ReplaceOccurrences(std::string_view text, std::string_view old_text,
                               std::string_view new_text, uint64_t count) {
  std::string out;
  out.reserve(text.size() - count * old_text.size() + count * new_text.size());
  if (old_text.empty()) {
    for (char byte : text) {
      if (IsCharStart(byte)) out += new_text;
      out += byte;
    }
    out += new_text;
    return out;
  }
  size_t copied = 0;
  for (size_t at = Find(text, old_text, 0); at != std::string_view::npos;
       at = Find(text, old_text, at + old_text.size())) {
    out.append(text.substr(copied, at - copied));
    out += new_text;
    copied = at + old_text.size();
  }
  out.append(text.substr(copied));
  return out;
}

Result<bool> edit_replace(const std::string& path, std::string_view old_text,
                          std::string_view new_text, bool strict) {
  auto content = read_file(path);
  if (!content) return Fail(std::move(content.error()));
  uint64_t count = CountOccurrences(*content, old_text);
  if (count == 0) {
    if (strict) return Fail(FsError::TextNotFound());
    return false;
  }
  if (count > 1 && strict) return Fail(FsError::TextNotUnique(count));

  std::string edited;
  try {
    edited = ReplaceOccurrences(*content, old_text, new_text, count);
  } catch (const std::bad_alloc&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  } catch (const std::length_error&) {
    return Fail(FsError::Io(IoError::Message(kOutOfMemoryText)));
  }
  content->clear();
  content->shrink_to_fit();
  if (auto written = write_atomic(path, edited); !written)
    return Fail(std::move(written.error()));
  return true;
}

}  // namespace tolvane::io
