// FileWatcher: the change watching of one FileSystem object — the platform
// watcher on its root and the debounced changes it feeds. Shared by the object
// and its maintenance thread. Closing it stops the intake of events at once;
// Stop() then releases the platform watcher (its thread and descriptors),
// as does the last holder's release, which then drops what is queued and
// pending. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
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

  // Brings the watches in line with the tree (InotifyWatcher::Resync); nothing
  // once stopped.
  void Resync();
  // Events that arrive from now on are dropped; what was recorded before
  // stays to be polled.
  void Close() { debouncer_.Close(); }
  // Closes, then releases the platform watcher: its thread is joined and its
  // descriptors closed. The maintenance thread calls it as it ends.
  void Stop();

 private:
  friend Result<std::shared_ptr<FileWatcher>> create_watcher(
      const std::string& root);

  // Declared first: the platform watcher's thread sends into it until the
  // platform watcher is gone.
  Debouncer debouncer_;
  std::mutex platform_mutex_;
  std::unique_ptr<InotifyWatcher> platform_watcher_;  // guarded by the mutex
};

// Watches `root` (as the FileSystem was given it) and every directory below
// its canonical form. Internal "Failed to create watcher: " + the system's
// error when no inotify instance can be made, "Failed to watch directory: " +
// the error when the root can't be resolved or watched. A thread that can't
// be started throws std::system_error.
Result<std::shared_ptr<FileWatcher>> create_watcher(const std::string& root);

}  // namespace tolvane
