// Exact-text replacement in one file: a whole-file read, a count of the
// occurrences, and, when the count allows it, the edited text written back
// through write_atomic. No lock is taken: an edit racing another writer can
// lose that writer's change. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fs/error/fs_error.h"

namespace tolvane::io {

// Occurrences of `old_text` in `text`, found from the left and resuming after
// each one (so they never overlap). An empty `old_text` occurs at every
// character boundary: characters + 1.
uint64_t CountOccurrences(std::string_view text, std::string_view old_text);

// `text` with each of those occurrences replaced by `new_text` (which is not
// searched again); an empty `old_text` puts `new_text` before every character
// and at the end. `count` is CountOccurrences(text, old_text): the result is
// sized from it once. May throw bad_alloc.
std::string ReplaceOccurrences(std::string_view text, std::string_view old_text,
                               std::string_view new_text, uint64_t count);

// Reads `path` (as read_file), counts the occurrences of `old_text` and:
//   0      strict: TextNotFound; else false. Nothing is written.
//   1      replace, write, true.
//   n > 1  strict: TextNotUnique(n), nothing written; else replace all, true.
// Failures of the read or the write pass through unchanged; the file is then
// unchanged.
[[nodiscard]] Result<bool> edit_replace(const std::string& path,
                                        std::string_view old_text,
                                        std::string_view new_text, bool strict);

}  // namespace tolvane::io
