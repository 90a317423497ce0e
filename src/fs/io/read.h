// Whole-file and byte-range reads of one file by its resolved native path. Each
// call opens its own descriptor and closes it before returning; nothing is
// shared or cached, so the functions are thread-safe. Line reads are in
// read_lines.h.
#pragma once

#include <cstdint>
#include <string>

#include "fs/error/fs_error.h"

namespace tolvane::io {

// The whole file as UTF-8 text, exactly as stored (also the read of read_batch
// and edit_replace). Opened by OpenForReading's rule, so a FIFO or device is
// Io "not a regular file". A failed read is reported before the UTF-8 check (a
// directory fails there with EISDIR); not valid UTF-8: Io "stream did not
// contain valid UTF-8".
[[nodiscard]] Result<std::string> read_file(const std::string& path);

// The text of at most `limit` bytes from `offset` on, from ONE pread(2) call (a
// short read is not continued) into a buffer bounded by min(limit, 2^31-1,
// bytes left after `offset`). A regular file whose size reads as 0 (/proc)
// is read up to that bound or its end instead, into a buffer that grows by
// what arrives; so is a directory, whose first read fails. No span read ends
// past 2^63-1, the largest offset: an offset past the end gives ""; one of
// 2^63 or more is Io from the refused read. Bytes that aren't
// UTF-8: Internal "Invalid UTF-8: " + the decoder's text, indices counted from
// `offset`.
[[nodiscard]] Result<std::string> read_file_range(const std::string& path,
                                                  uint64_t offset,
                                                  uint64_t limit);

}  // namespace tolvane::io
