#include "fs/watcher/inotify_watcher.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string_view>
#include <utility>

#include "fs/path/path.h"
#include "fs/pool/pool.h"
#include "fs/sys/dir.h"
#include "fs/sys/fork.h"
#include "fs/sys/notify.h"
#include "fs/sys/thread.h"

namespace tolvane {
namespace {

// Watches are added through the path of a directory that is never followed
// through a link. IN_EXCL_UNLINK: no events for files that live on only
// through an open descriptor. A directory's own deletion needs no event: its
// IN_IGNORED ends its watch.
constexpr uint32_t kMask = IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                           IN_MOVED_TO | IN_DELETE | IN_MOVE_SELF |
                           IN_EXCL_UNLINK | IN_DONT_FOLLOW | IN_ONLYDIR;

// The kernel queues both halves of a rename at once; a half that waits longer
// than this had its partner outside the tree.
constexpr auto kMoveWait = std::chrono::milliseconds(10);
constexpr size_t kMaxMoves = 4096;
// How long a directory whose listing ran out of descriptors or memory waits
// before it is listed again.
constexpr auto kRelistWait = std::chrono::milliseconds(100);

// poll(2)'s timeout until `deadline`: 0 when it has passed.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, wait.count()));
}

// `path` lies strictly below `dir`.
bool Below(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path.starts_with(dir) &&
         (dir.ends_with('/') || path[dir.size()] == '/');
}

}  // namespace

InotifyWatcher::InotifyWatcher(sys::UniqueFd inotify, sys::UniqueFd wake,
                               Handler handler)
    : inotify_(std::move(inotify)),
      wake_(std::move(wake)),
      handler_(std::move(handler)) {}

Result<std::unique_ptr<InotifyWatcher>> InotifyWatcher::Create(
    Handler handler) {
  auto inotify = sys::InotifyInit();
  if (!inotify) return Fail(std::move(inotify.error()));
  auto wake = sys::EventFd();
  if (!wake) return Fail(std::move(wake.error()));
  return std::unique_ptr<InotifyWatcher>(new InotifyWatcher(
      std::move(*inotify), std::move(*wake), std::move(handler)));
}

Status InotifyWatcher::WatchRoot(const std::string& root) {
  std::lock_guard lock(state_mutex_);
  given_root_ = root;
  return Rewatch();
}

void InotifyWatcher::Resync() {
  std::lock_guard lock(state_mutex_);
  (void)Rewatch();
}

Status InotifyWatcher::Rewatch() {
  // The old maps go aside; the walk below files every watch it finds afresh,
  // so a watch filed on a wrong path can't survive it, nor pass for a loop.
  auto old = std::exchange(dirs_by_wd_, {});
  wds_by_dir_.clear();
  unlisted_.clear();
  root_.clear();
  Status watched = [&]() -> Status {
    auto canonical = sys::RealPath(given_root_);
    if (!canonical) return Fail(std::move(canonical.error()));
    auto wd = sys::InotifyAddWatch(inotify_.get(), *canonical, kMask);
    if (!wd) return Fail(std::move(wd.error()));
    root_ = std::move(*canonical);
    if (auto st = sys::Stat(root_)) root_dev_ = st->st_dev;
    leaf_links_ = sys::DirLinksCountSubdirs(root_);
    WatchTree(root_, nullptr);
    return {};
  }();
  for (const auto& [wd, dir] : old) {
    if (!dirs_by_wd_.contains(wd)) sys::InotifyRemoveWatch(inotify_.get(), wd);
  }
  return watched;
}

std::string InotifyWatcher::Spelled(std::string_view path) const {
  if (root_.empty() || (path != root_ && !Below(path, root_)))
    return std::string(path);
  std::string_view rest = path.substr(root_.size());
  while (rest.starts_with('/')) rest.remove_prefix(1);
  return rest.empty() ? given_root_ : resolve_path(given_root_, rest);
}

void InotifyWatcher::Report(std::vector<WatchEvent>* out, EventKind kind,
                            std::initializer_list<std::string_view> paths,
                            bool dir) const {
  WatchEvent event{kind, {}, dir};
  event.paths.reserve(paths.size());
  for (std::string_view path : paths) event.paths.push_back(Spelled(path));
  out->push_back(std::move(event));
}

void InotifyWatcher::Start() {
  thread_ = sys::StartThread([this] { Run(); });
  started_in_ = sys::ForkGeneration();
}

InotifyWatcher::~InotifyWatcher() {
  if (!thread_.joinable()) return;
  if (started_in_ != sys::ForkGeneration()) {
    // A child of fork's copy: the thread is the parent's, and the wake-up
    // descriptor is shared with it. Forget the handle without joining or
    // detaching it (this process may have given its thread's descriptor to a
    // thread of its own); only this process's descriptors are closed.
    new (&thread_) std::thread();
    return;
  }
  stopping_.store(true, std::memory_order_relaxed);
  sys::SignalEventFd(wake_.get());
  thread_.join();
}

void InotifyWatcher::Run() {
  try {
    Loop();
  } catch (...) {
    // Nothing may leave the thread; the tree is watched no more. (It never
    // takes the interpreter lock: no forced unwind comes this way.)
  }
}

void InotifyWatcher::Loop() {
  struct pollfd fds[2] = {{inotify_.get(), POLLIN, 0},
                          {wake_.get(), POLLIN, 0}};
  while (!stopping_.load(std::memory_order_relaxed)) {
    int timeout = -1;
    if (!moves_.empty()) timeout = MillisecondsUntil(moves_.front().deadline);
    if (!unlisted_.empty()) {
      const int relist = MillisecondsUntil(relist_at_);
      timeout = timeout < 0 ? relist : std::min(timeout, relist);
    }
    auto ready = sys::Poll(fds, 2, timeout);
    if (!ready || (fds[1].revents & POLLIN)) return;
    // Taken before the drain: a second half queued by then is read by it.
    const Time now = std::chrono::steady_clock::now();
    std::lock_guard lock(state_mutex_);
    if (!Drain()) return;
    ExpireMoves(now);
    Relist(now);
  }
}

bool InotifyWatcher::Drain() {
  alignas(struct inotify_event) char buffer[64 * 1024];
  std::vector<WatchEvent> events;
  while (!stopping_.load(std::memory_order_relaxed)) {
    auto n = sys::Read(inotify_.get(), buffer, sizeof buffer);
    if (!n) return n.error().os_code() == EAGAIN;
    // The kernel returns whole events only; a record that would run past
    // what was read ends the batch all the same.
    for (size_t at = 0; at + sizeof(struct inotify_event) <= *n;) {
      const auto* event =
          reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += sizeof(struct inotify_event) + event->len;
      if (at > *n) break;
      Process(*event, &events);
    }
    if (!events.empty()) {
      handler_(std::move(events));
      events.clear();
    }
  }
  return true;
}

void InotifyWatcher::Process(const struct inotify_event& event,
                             std::vector<WatchEvent>* out) {
  const uint32_t mask = event.mask;
  if (mask & IN_Q_OVERFLOW) {
    // Events were lost, moves and swaps of directories among them: watch the
    // tree as it is now, then let the index look at all of it again.
    (void)Rewatch();
    out->push_back({EventKind::kRescan, {}});
    return;
  }
  auto found = dirs_by_wd_.find(event.wd);
  if (found == dirs_by_wd_.end()) return;  // removed, or moving
  if (mask & IN_IGNORED) return Forget(event.wd);
  if (mask & IN_MOVE_SELF) {
    // The root left its name: nothing below it is under the root any more.
    // Any other directory's move is its parent's event.
    if (found->second == root_) {
      Unwatch(Detach(root_));
      root_.clear();
    }
    return;
  }
  if (event.len == 0) return;
  std::string path = resolve_path(found->second, event.name);
  const bool is_dir = mask & IN_ISDIR;
  if (mask & IN_CREATE) {
    Report(out, is_dir ? EventKind::kCreateFolder : EventKind::kCreateFile,
           {path});
    // Watched first, then listed: an entry made before the watch is found.
    if (is_dir) WatchTree(path, out);
  } else if (mask & IN_MODIFY) {
    Report(out, EventKind::kModifyData, {path});
  } else if (mask & IN_ATTRIB) {
    Report(out, EventKind::kModifyMetadata, {path});
  } else if (mask & IN_MOVED_FROM) {
    MovedFrom(std::move(path), event.cookie, is_dir, out);
  } else if (mask & IN_MOVED_TO) {
    MovedTo(std::move(path), event.cookie, is_dir, out);
  } else if (mask & IN_DELETE) {
    Report(out, is_dir ? EventKind::kRemoveFolder : EventKind::kRemoveFile,
           {path});
  }
}

void InotifyWatcher::MovedFrom(std::string path, uint32_t cookie, bool is_dir,
                               std::vector<WatchEvent>* out) {
  Report(out, EventKind::kRenameFrom, {path}, is_dir);
  std::vector<std::pair<std::string, int>> watches;
  if (!StillThere(path)) watches = Detach(path);
  moves_.push_back(Move{cookie, std::move(path), std::move(watches),
                        std::chrono::steady_clock::now() + kMoveWait});
}

void InotifyWatcher::MovedTo(std::string path, uint32_t cookie, bool is_dir,
                             std::vector<WatchEvent>* out) {
  Report(out, EventKind::kRenameTo, {path});
  std::vector<std::pair<std::string, int>> watches;
  auto move = std::find_if(moves_.begin(), moves_.end(),
                           [&](const Move& m) { return m.cookie == cookie; });
  if (move != moves_.end()) {
    Report(out, EventKind::kRenameBoth, {move->from, path}, is_dir);
    watches = std::move(move->watches);
    moves_.erase(move);
  }
  // Its entries are new under this name, whether it came from inside the
  // tree or from outside; its watches are filed where the tree now holds
  // them (a file takes none along), and the rest removed.
  if (is_dir) WatchTree(path, out);
  Unwatch(std::move(watches));
}

bool InotifyWatcher::Holds(const std::string& dir, int wd) const {
  // Adding a watch gives the one the directory now at `dir` has (a new one
  // when it is new there, filed once its own event comes).
  auto now = sys::InotifyAddWatch(inotify_.get(), dir, kMask);
  return now && *now == wd;
}

bool InotifyWatcher::StillThere(const std::string& dir) const {
  auto filed = wds_by_dir_.find(dir);
  return filed != wds_by_dir_.end() && Holds(dir, filed->second);
}

InotifyWatcher::Listed InotifyWatcher::WatchAndList(std::string dir,
                                                    bool all) const {
  Listed listed{std::move(dir), -1, {}};
  auto wd = sys::InotifyAddWatch(inotify_.get(), listed.dir, kMask);
  if (!wd) return listed;  // the subtree stays unwatched
  listed.wd = *wd;
  if (!all && leaf_links_) {
    // Where a directory's links count its subdirectories, two (its name and
    // ".") once it is watched mean none to find, and none missed.
    auto st = sys::Stat(listed.dir);
    if (st && st->st_nlink == 2 && st->st_dev == root_dev_) return listed;
  }
  auto fd = sys::OpenDirAt(AT_FDCWD, listed.dir.c_str(), /*follow=*/false);
  if (!fd) {
    listed.again = fd.error().out_of_resources();
    return listed;
  }
  std::string& buffer = sys::OnEachThread<std::string, InotifyWatcher>();
  size_t used = 0;
  // A listing that fails part way still gives the records read before.
  if (auto read = sys::ReadDirRecords(fd->get(), &buffer, &used); !read)
    listed.again = read.error().out_of_resources();
  sys::ForEachDirRecord(
      std::string_view(buffer.data(), used), [&](const sys::DirRecord& record) {
        bool is_dir = record.type == DT_DIR;
        if (record.type == DT_UNKNOWN) {
          auto st = sys::StatAt(fd->get(), record.name.data(), false);
          is_dir = st && S_ISDIR(st->st_mode);
        }
        if (all || is_dir)
          listed.entries.emplace_back(resolve_path(listed.dir, record.name),
                                      is_dir);
      });
  return listed;
}

void InotifyWatcher::WatchTree(const std::string& top,
                               std::vector<WatchEvent>* report) {
  // Level by level: the directories of one level are watched and listed on
  // the pool, then filed here, where a loop is caught before it goes deeper.
  std::vector<std::string> level{top};
  while (!level.empty() && !stopping_.load(std::memory_order_relaxed)) {
    std::vector<Listed> listed(level.size());
    ParallelFor(level.size(), [&](size_t i) {
      listed[i] = WatchAndList(std::move(level[i]), report != nullptr);
    });
    level.clear();
    for (Listed& dir : listed) {
      if (dir.wd < 0 || !File(dir.dir, dir.wd)) continue;
      if (dir.again) {
        if (unlisted_.empty()) {
          relist_at_ = std::chrono::steady_clock::now() + kRelistWait;
        }
        unlisted_.push_back(dir.dir);
      }
      for (auto& [path, is_dir] : dir.entries) {
        if (report) {
          Report(report,
                 is_dir ? EventKind::kCreateFolder : EventKind::kCreateFile,
                 {path});
        }
        if (is_dir) level.push_back(std::move(path));
      }
    }
  }
}

bool InotifyWatcher::File(const std::string& dir, int wd) {
  auto [known, added] = dirs_by_wd_.try_emplace(wd, dir);
  if (!added && known->second != dir) {
    // Met again below where it is filed: a loop, unless that filing is stale.
    if (Below(dir, known->second) && Holds(known->second, wd)) return false;
    // The directory moved while the events that said so were lost.
    auto old = wds_by_dir_.find(known->second);
    if (old != wds_by_dir_.end() && old->second == wd) wds_by_dir_.erase(old);
    known->second = dir;
  }
  wds_by_dir_[dir] = wd;
  return true;
}

void InotifyWatcher::Forget(int wd) {
  auto found = dirs_by_wd_.find(wd);
  if (found == dirs_by_wd_.end()) return;
  if (found->second == root_) root_.clear();  // deleted: watched no more
  auto filed = wds_by_dir_.find(found->second);
  if (filed != wds_by_dir_.end() && filed->second == wd)
    wds_by_dir_.erase(filed);
  dirs_by_wd_.erase(found);
}

std::vector<std::pair<std::string, int>> InotifyWatcher::Detach(
    const std::string& dir) {
  std::vector<std::pair<std::string, int>> taken;
  // `dir` itself, then the range of paths that begin with `dir` + "/".
  std::string prefix = dir.ends_with('/') ? dir : dir + '/';
  std::string limit = prefix;
  limit.back() = '/' + 1;
  auto exact = wds_by_dir_.find(dir);
  if (exact != wds_by_dir_.end() && exact->first != prefix)
    taken.push_back(*exact);
  for (auto it = wds_by_dir_.lower_bound(prefix);
       it != wds_by_dir_.end() && it->first < limit; ++it) {
    taken.push_back(*it);
  }
  for (const auto& [path, wd] : taken) {
    wds_by_dir_.erase(path);
    auto owner = dirs_by_wd_.find(wd);
    if (owner != dirs_by_wd_.end() && owner->second == path)
      dirs_by_wd_.erase(owner);
  }
  return taken;
}

void InotifyWatcher::Unwatch(std::vector<std::pair<std::string, int>> watches) {
  for (const auto& [path, wd] : watches) {
    // Filed again since it was detached: the directory was found under
    // another name in the tree (a rescan after lost events, say).
    if (!dirs_by_wd_.contains(wd)) sys::InotifyRemoveWatch(inotify_.get(), wd);
  }
}

void InotifyWatcher::Relist(Time now) {
  if (unlisted_.empty() || now < relist_at_) return;
  std::vector<WatchEvent> events;
  for (const std::string& dir : std::exchange(unlisted_, {})) {
    // Gone or moved away meanwhile: its watch is no longer filed under `dir`.
    if (wds_by_dir_.contains(dir)) WatchTree(dir, &events);
  }
  if (!events.empty()) handler_(std::move(events));
}

void InotifyWatcher::ExpireMoves(Time now) {
  while (!moves_.empty() &&
         (moves_.front().deadline <= now || moves_.size() > kMaxMoves)) {
    Unwatch(std::move(moves_.front().watches));
    moves_.pop_front();
  }
}

}  // namespace tolvane
