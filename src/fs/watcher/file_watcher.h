// FileWatcher: the change watching of one FileSystem object — the platform
// watcher on its root and the debounced changes it feeds. Shared by the object
// and its maintenance thread; the last holder's release stops the platform
// watcher's thread first, then drops what is queued and pending. Thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fs/error/fs_error.h"
#include "fs/watcher/debounce.h"
#include "fs/watcher/events.h"
#include "fs/watcher/inotify_watcher.h"

namespace tolvane {

class FileWatcher {
 public:
  // The changes quiet for 100 ms, taken out of the watcher (Debouncer).
  std::vector<ChangeEvent> poll_events() { return debouncer_.poll_events(); }
  // Whether events were lost since the last call: the tree must be indexed
  // again.
  bool take_rescan_request() { return debouncer_.take_rescan_request(); }

 private:
  friend Result<std::shared_ptr<FileWatcher>> create_watcher(
      const std::string& root);

  // Declared first: the platform watcher's thread sends into it until the
  // platform watcher is gone.
  Debouncer debouncer_;
  std::unique_ptr<InotifyWatcher> platform_watcher_;
};

// Watches `root` (as the FileSystem was given it) and every directory below
// its canonical form. Internal "Failed to create watcher: " + the system's
// error when no inotify instance can be made, "Failed to watch directory: " +
// the error when the root can't be resolved or watched. A thread that can't
// be started throws std::system_error.
Result<std::shared_ptr<FileWatcher>> create_watcher(const std::string& root);

}  // namespace tolvane
