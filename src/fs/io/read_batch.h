// Whole-file reads of many files at once. Batches of 30 paths or more run on
// the process-wide worker pool, each piece of the path list filling only its
// own slots, so no lock is taken; smaller batches run on the calling thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tolvane::io {

// For the files among `paths` (resolved, in input order) that read_file can
// read: (key, content) with key = the path as UTF-8, invalid bytes replaced.
// Every per-file failure is dropped. Keys are unique: a later path with an
// earlier one's key replaces that entry's content in place.
std::vector<std::pair<std::string, std::string>> read_batch(
    const std::vector<std::string>& paths);

}  // namespace tolvane::io
