// The index maintenance of one FileSystem object: the body of its maintenance
// thread, which applies the watcher's released changes to the index pass after
// pass, 50 ms apart, until the object's shutdown flag is set. Owns nothing
// but its shares of the watcher, the index and the flag; never touches Python.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "fs/index/file_index.h"
#include "fs/watcher/events.h"
#include "fs/watcher/file_watcher.h"

namespace tolvane {

inline constexpr std::chrono::milliseconds kMaintenancePause{50};

// Applies one change: Created updates the path; Modified refreshes its
// `files` entry only; Deleted removes it; Renamed removes the old path, then
// updates the new one. Failures are dropped.
void ApplyChange(FileIndex& index, const ChangeEvent& change);

// The thread's body. Each pass: a full rebuild when events were lost (unless a
// build is running, which then covers them), then a read of the directories
// that the index couldn't read for want of descriptors, then the released
// changes in the order they came; then the pause. Ends at the first check that
// finds `shutdown` set (acquire), releasing the flag, the index and the watcher
// in this order. Nothing escapes it, and no failure ends it early.
void index_maintenance_loop(std::shared_ptr<FileWatcher> watcher,
                            std::shared_ptr<FileIndex> index,
                            std::shared_ptr<std::atomic<bool>> shutdown);

}  // namespace tolvane
