// The index maintenance of one FileSystem object: the body of its maintenance
// thread, which applies the watcher's released changes to the index pass after
// pass, 50 ms apart, until the object's shutdown flag is set. Owns nothing
// but its shares of the watcher, the index and the flag; never touches Python.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "fs/index/file_index.h"
#include "fs/watcher/events.h"
#include "fs/watcher/file_watcher.h"

namespace tolvane {

inline constexpr std::chrono::milliseconds kMaintenancePause{50};

// Applies the changes of one pass: first every removal together (Deleted
// paths, the old paths of Renamed and the paths that Created replaces) in one
// sweep of the index; then, in the order given, Created updates its path,
// Modified refreshes its `files` entry only, Renamed updates its new path, and
// a path that Deleted or Renamed reported gone is updated in case it is there
// again (nothing when it isn't). Failures are dropped.
void ApplyChanges(FileIndex& index, const std::vector<ChangeEvent>& changes);

// The thread's body. Each pass: a full rebuild when events were lost (unless a
// build is running, which then covers them; the index answers meanwhile as it
// was), then, unless a build is running, a read of the directories that the
// index couldn't read for want of descriptors, then the released changes
// (ApplyChanges), those released during a build first. Then the pause. Ends at
// the first check that finds `shutdown` set (acquire): it stops the watcher,
// then releases the flag, the index and the watcher in this order. Nothing
// escapes it, and no failure ends it early.
void index_maintenance_loop(std::shared_ptr<FileWatcher> watcher,
                            std::shared_ptr<FileIndex> index,
                            std::shared_ptr<std::atomic<bool>> shutdown);

}  // namespace tolvane
