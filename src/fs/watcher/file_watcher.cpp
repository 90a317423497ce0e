#include "fs/watcher/file_watcher.h"

#include <utility>

namespace tolvane {

void FileWatcher::Resync() {
  std::lock_guard lock(platform_mutex_);
  if (platform_watcher_) platform_watcher_->Resync();
}

void FileWatcher::Stop() {
  Close();
  std::unique_ptr<InotifyWatcher> platform;
  {
    std::lock_guard lock(platform_mutex_);
    platform = std::move(platform_watcher_);
  }
}

Result<std::shared_ptr<FileWatcher>> create_watcher(const std::string& root) {
  auto watcher = std::make_shared<FileWatcher>();
  Debouncer* channel = &watcher->debouncer_;
  auto platform =
      InotifyWatcher::Create([channel](std::vector<WatchEvent> events) {
        channel->Send(std::move(events));
      });
  if (!platform) {
    return Fail(FsError::Internal("Failed to create watcher: " +
                                  platform.error().message()));
  }
  if (auto watched = (*platform)->WatchRoot(root); !watched) {
    return Fail(FsError::Internal("Failed to watch directory: " +
                                  watched.error().message()));
  }
  (*platform)->Start();
  watcher->platform_watcher_ = std::move(*platform);
  return watcher;
}

}  // namespace tolvane
