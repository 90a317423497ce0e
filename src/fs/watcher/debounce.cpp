#include "fs/watcher/debounce.h"

#include <utility>

namespace tolvane {

void Debouncer::Send(WatchEvent event) {
  std::lock_guard lock(channel_mutex_);
  if (!closed_) channel_.push_back(std::move(event));
}

void Debouncer::Send(std::vector<WatchEvent> events) {
  std::lock_guard lock(channel_mutex_);
  if (closed_) return;
  for (WatchEvent& event : events) channel_.push_back(std::move(event));
}

void Debouncer::Close() {
  std::lock_guard lock(channel_mutex_);
  closed_ = true;
}

void Debouncer::record_change(const std::string& path, ChangeKind kind,
                              Time now, const std::string& to, bool moved_dir) {
  auto it = pending_.find(path);
  if (it == pending_.end()) {
    pending_.emplace(path, Entry{kind, to, now, false, moved_dir});
    return;
  }
  Entry& entry = it->second;
  // Whatever the index held for the path before it was removed, renamed away
  // or replaced must still go when the path appears again. A path that came
  // by a rename may have replaced an entry the index holds, so a creation
  // followed by a removal is a removal; one of a path the index doesn't hold
  // costs nothing.
  const bool removal_pending = entry.kind == ChangeKind::kDeleted ||
                               entry.kind == ChangeKind::kRenamed ||
                               entry.replaces;
  if (kind == ChangeKind::kModified) {
    // Writes to a new path are part of its creation; after a removal they
    // say that the path is back.
    if (entry.kind == ChangeKind::kCreated) return;
    if (removal_pending) kind = ChangeKind::kCreated;
  }
  const bool replaces = kind == ChangeKind::kCreated && removal_pending;
  // A directory moved away takes what lies below it, whatever the path's
  // name holds later in the window.
  entry = Entry{kind, to, now, replaces, moved_dir || entry.moved_dir};
}

void Debouncer::Record(const WatchEvent& event, Time now) {
  auto each = [&](ChangeKind kind, bool moved_dir = false) {
    for (const std::string& path : event.paths)
      record_change(path, kind, now, {}, moved_dir);
  };
  switch (event.kind) {
    case EventKind::kCreateFile:
    case EventKind::kCreateFolder:
    case EventKind::kRenameTo:
      return each(ChangeKind::kCreated);
    case EventKind::kModifyData:
      return each(ChangeKind::kModified);
    case EventKind::kRenameFrom:
      return each(ChangeKind::kDeleted, event.dir);
    case EventKind::kRemoveFile:
    case EventKind::kRemoveFolder:
      return each(ChangeKind::kDeleted);
    case EventKind::kRenameBoth:
      if (event.paths.size() >= 2) {
        record_change(event.paths[0], ChangeKind::kRenamed, now, event.paths[1],
                      event.dir);
      }
      return;
    case EventKind::kRescan:
      // The rebuild that answers the loss looks at the tree after it: what
      // was recorded before is superseded. Applied after the rebuild, a
      // deletion whose file came back among the lost events would undo it.
      pending_.clear();
      rescan_.store(true);
      return;
    case EventKind::kModifyMetadata:
      return;
  }
}

std::vector<ChangeEvent> Debouncer::poll_events() {
  std::lock_guard pending_lock(pending_mutex_);
  std::deque<WatchEvent> drained;
  {
    std::lock_guard lock(channel_mutex_);
    drained.swap(channel_);
  }
  const Time now = clock_();
  for (const WatchEvent& event : drained) Record(event, now);

  std::vector<ChangeEvent> released;
  if (pending_.empty()) return released;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (now - it->second.since >= kDebounce) {
      released.push_back(
          ChangeEvent{it->first, it->second.kind, std::move(it->second.to),
                      it->second.replaces, it->second.moved_dir});
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  return released;
}

}  // namespace tolvane
