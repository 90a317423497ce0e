// InotifyWatcher: the platform watcher of change watching. One inotify
// instance over the canonical form of a root, one watch per directory below it
// (ignored directories too), and a thread of its own that blocks in poll(2) on
// the instance and a wake-up descriptor, turns the kernel's events into
// WatchEvents and hands each batch to the handler. Event paths are spelled
// under the root as the caller gave it, joined as a walk of that root joins
// names, so that they name the index's own entries. Owns the descriptors, the
// thread and the maps of watches, which `state_mutex_` guards: the thread holds
// it while it handles what it read, Resync() while it watches the tree afresh.
// Releasing it wakes the thread, joins it and closes both descriptors; a child
// of fork's copy closes the child's descriptors only.
#pragma once

#include <sys/inotify.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "fs/error/fs_error.h"
#include "fs/sys/file.h"
#include "fs/watcher/events.h"

namespace tolvane {

class InotifyWatcher {
 public:
  using Handler = std::function<void(std::vector<WatchEvent>)>;

  // The inotify instance and the wake-up descriptor; the system's error when
  // either can't be made (the per-user limit of instances, say).
  static Result<std::unique_ptr<InotifyWatcher>> Create(Handler handler);

  // Watches the canonical form of `root` and every directory below it. Fails
  // only when the root itself can't be resolved or watched; a directory below
  // it that can't be watched (the limit of watches reached, a name too long)
  // leaves its subtree unwatched. Called once, before Start().
  [[nodiscard]] Status WatchRoot(const std::string& root);

  // Brings the watches in line with the tree as it is now: the root resolved
  // again (made again at its path, it is watched again), every directory
  // watched under its present path, and the watches of directories that left
  // the tree removed. Events lost or misread (a swap of two directories whose
  // events the kernel dropped) leave no watch on a wrong path after it. Any
  // thread; waits while the watcher's thread handles a batch.
  void Resync();

  // Starts the thread; std::system_error when it can't be started.
  void Start();

  ~InotifyWatcher();
  InotifyWatcher(const InotifyWatcher&) = delete;
  InotifyWatcher& operator=(const InotifyWatcher&) = delete;

 private:
  using Time = std::chrono::steady_clock::time_point;
  // The first half of a move, waiting for the second (same cookie). A moved
  // directory's watches wait here too: events from them are dropped until the
  // move is known to stay inside the tree (the walk of its new path files
  // them) or to leave it (they are removed).
  struct Move {
    uint32_t cookie;
    std::string from;
    std::vector<std::pair<std::string, int>> watches;
    Time deadline;
  };

  InotifyWatcher(sys::UniqueFd inotify, sys::UniqueFd wake, Handler handler);

  void Run();
  void Loop();
  // With `state_mutex_` held: resolves the root again and watches the tree
  // afresh; the watches of the old maps that it doesn't find are removed.
  Status Rewatch();
  // `path`, a canonical path under the root, spelled under the root as given.
  std::string Spelled(std::string_view path) const;
  // Appends an event of `kind` for the canonical `paths`, spelled.
  void Report(std::vector<WatchEvent>* out, EventKind kind,
              std::initializer_list<std::string_view> paths,
              bool dir = false) const;
  // Reads and reports every queued event; false when the instance can't be
  // read any more.
  bool Drain();
  void Process(const struct inotify_event& event, std::vector<WatchEvent>* out);
  // Whether the directory at `dir` now has the watch `wd`.
  bool Holds(const std::string& dir, int wd) const;
  // Whether the directory filed at `dir` is still there: what left by the
  // name is then another entry (the partner of a swap, whose events the
  // kernel gives as two renames), and the watches filed there stay.
  bool StillThere(const std::string& dir) const;
  void MovedFrom(std::string path, uint32_t cookie, bool is_dir,
                 std::vector<WatchEvent>* out);
  void MovedTo(std::string path, uint32_t cookie, bool is_dir,
               std::vector<WatchEvent>* out);
  // What one directory gave: its watch (-1 when it can't be watched: its
  // subtree stays unwatched) and its entries (path, is_dir), directories only
  // unless `all`. `again`: the listing failed for want of descriptors or
  // memory, and is to be tried again.
  struct Listed {
    std::string dir;
    int wd;
    std::vector<std::pair<std::string, bool>> entries;
    bool again = false;
  };
  Listed WatchAndList(std::string dir, bool all) const;
  // Adds the watches of `dir` and of every directory below it; with `report`,
  // every entry found is reported there as created.
  void WatchTree(const std::string& dir, std::vector<WatchEvent>* report);
  // Files the watch `wd` of `dir` in the maps: false when `dir` is reached
  // again through a loop (a bind mount of an ancestor).
  bool File(const std::string& dir, int wd);
  void Forget(int wd);
  // Takes the watches of `dir` and below out of the maps.
  std::vector<std::pair<std::string, int>> Detach(const std::string& dir);
  // Removes detached watches, except those filed again since.
  void Unwatch(std::vector<std::pair<std::string, int>> watches);
  // Ends the moves whose second half didn't come by `now` (their directories
  // left the tree), and the oldest while more than the bound wait.
  void ExpireMoves(Time now);
  // Lists again, once `relist_at_` has come, the watched directories whose
  // listing failed for want of resources, reporting what they hold as created.
  void Relist(Time now);

  const sys::UniqueFd inotify_;
  const sys::UniqueFd wake_;
  const Handler handler_;
  std::atomic<bool> stopping_{false};
  std::string given_root_;  // as the caller spelled it
  std::mutex state_mutex_;  // guards what follows
  std::string root_;        // canonical; empty once the root is gone
  dev_t root_dev_ = 0;
  bool leaf_links_ = false;  // the root's file system counts subdirectories
  std::unordered_map<int, std::string> dirs_by_wd_;
  std::map<std::string, int> wds_by_dir_;  // ordered: a subtree is a range
  std::deque<Move> moves_;  // in arrival order, so deadlines ascend
  // Watched directories not listed yet (descriptors or memory ran out): what
  // they held before their watch would be missed for good.
  std::vector<std::string> unlisted_;
  Time relist_at_;
  std::thread thread_;
  uint64_t started_in_ = 0;  // the fork generation that started thread_
};

}  // namespace tolvane
