// A run of lines of one file. The road is chosen by the size that fstat reports
// for the open file: up to 1 MiB the file is read through an 8192-byte buffer
// and lines that aren't UTF-8 are left out; a larger file is streamed in 256
// KiB chunks and must be valid UTF-8 as a whole. No mapping is made, so a file
// shortened meanwhile just ends early. Keeps no state; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs/error/fs_error.h"

namespace tolvane::io {

// Lines of `path` without their terminators: the first `start_line` physical
// lines passed over, then at most `count` lines (all when nullopt). A line ends
// at "\n", and one "\r" right before it is dropped; a file ending in "\n" has
// no empty line after it.
//
// Up to 1 MiB: a line that isn't UTF-8 is left out (it still counts for
// `start_line`, not for `count`); `count` 0 reads nothing; reading stops once
// `count` lines are kept.
//
// Larger: bytes that aren't UTF-8 anywhere in the file are Internal "Invalid
// UTF-8: " + the decoder's text with the position in the file, whatever lines
// are asked for.
[[nodiscard]] Result<std::vector<std::string>> read_lines(
    const std::string& path, uint64_t start_line,
    std::optional<uint64_t> count);

}  // namespace tolvane::io
