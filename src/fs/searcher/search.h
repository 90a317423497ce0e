// The content-search engine behind grep: compiles the query, then searches the
// caller's candidate list in parallel on the process-wide pool, or walks the
// tree itself and searches each candidate on the walk's threads as it is
// found; one exact result cap for all workers; records in candidate order,
// then line order, handed over file by file. Knows nothing of the index. Each
// call owns all its state; calls share only the pool. Thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/error/fs_error.h"
#include "fs/error/records.h"
#include "fs/ignore/walk.h"

namespace tolvane {

// How the walk road walks the tree: the index's walk (ParallelWalk), or one
// the caller has set up alike.
using SearchWalker = std::function<void(const std::string&, const WalkVisitor&,
                                        const WalkOptions&)>;

// The records of a search, each file's in line order, the files in candidate
// order, none empty. Kept apart so that no second array of every record is
// ever made: the caller converts and frees them file by file.
using SearchRecords = std::vector<std::vector<SearchResult>>;

// Searches `candidates` in their order, or, without them, the files that a walk
// of `search_root` finds, in the order the walk's threads find them: regular
// files and links to them, not larger than options.max_file_size (a link's own
// size), matching `glob_pattern` on the root-relative path, not binary; no
// FIFO, socket or device is ever opened. The walk takes `walk_options` (the
// environment that locates the global excludes file). A query that doesn't
// compile is
// FsError::Regex before anything else is done; on the walk road a glob that
// doesn't compile is FsError::Glob. Memory that a file's search can't get is
// FsError::Io "out of memory", as is memory that gathering the records can't
// get. Nothing else fails.
[[nodiscard]] Result<SearchRecords> search(
    const std::string& search_root, std::string_view query,
    std::string_view glob_pattern, const SearchOptions& options,
    std::optional<std::vector<std::string>> candidates,
    const WalkOptions& walk_options = {},
    const SearchWalker& walker = ParallelWalk);

}  // namespace tolvane
