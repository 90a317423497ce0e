#include "fs/watcher/maintenance.h"

#include <iterator>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tolvane {
namespace {

// Runs `step`; whatever it throws is dropped, so that one change or pass that
// fails (no memory, say) doesn't end the maintenance. The thread never takes
// the interpreter lock, so no forced unwind can reach the catch.
template <typename Step>
void Dropping(Step&& step) {
  try {
    step();
  } catch (...) {
  }
}

}  // namespace

void ApplyChanges(FileIndex& index, const std::vector<ChangeEvent>& changes) {
  Dropping([&] {
    std::vector<std::string_view> removed, moved_dirs;
    for (const ChangeEvent& change : changes) {
      if (change.kind == ChangeKind::kDeleted ||
          change.kind == ChangeKind::kRenamed || change.replaces) {
        removed.push_back(change.path);
        if (change.moved_dir) moved_dirs.push_back(change.path);
      }
    }
    index.remove_paths(removed, moved_dirs);
  });
  for (const ChangeEvent& change : changes) {
    Dropping([&] {
      switch (change.kind) {
        case ChangeKind::kCreated:
          (void)index.update_path(change.path);
          return;
        case ChangeKind::kModified:
          index.update_metadata(change.path);
          return;
        case ChangeKind::kDeleted:
          // A name the kernel reported gone may hold another entry by now:
          // the partner of a swap, which comes as two renames.
          (void)index.update_path(change.path);
          return;
        case ChangeKind::kRenamed:
          (void)index.update_path(change.path);
          (void)index.update_path(change.to);
          return;
      }
    });
  }
}

void index_maintenance_loop(std::shared_ptr<FileWatcher> watcher,
                            std::shared_ptr<FileIndex> index,
                            std::shared_ptr<std::atomic<bool>> shutdown) {
  // Changes released while a build runs wait for its result to be in place:
  // its walk may have passed their directories before they happened.
  std::vector<ChangeEvent> held;
  while (!shutdown->load(std::memory_order_acquire)) {
    Dropping([&] {
      // A running build may have walked past what was lost: the request
      // waits until it ends. The rebuild walks after every change held.
      if (!index->is_building() && watcher->take_rescan_request()) {
        held.clear();
        (void)index->rebuild(/*stay_ready=*/true);
      }
      std::vector<ChangeEvent> changes = watcher->poll_events();
      if (held.empty()) {
        held = std::move(changes);
      } else {
        std::move(changes.begin(), changes.end(), std::back_inserter(held));
      }
      const bool applied = index->unless_building([&] {
        Dropping([&] { index->read_unread(); });
        ApplyChanges(*index, held);
      });
      if (applied) held.clear();
    });
    std::this_thread::sleep_for(kMaintenancePause);
  }
  // The object is closed or gone: its watcher's thread and descriptors go
  // now, whoever holds the watcher still.
  watcher->Stop();
  shutdown.reset();
  index.reset();
  watcher.reset();
}

}  // namespace tolvane
