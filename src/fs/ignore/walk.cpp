#include "fs/ignore/walk.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "fs/error/fs_error.h"
#include "fs/ignore/ignore_chain.h"
#include "fs/ignore/ignore_files.h"
#include "fs/sys/dir.h"
#include "fs/sys/file.h"
#include "fs/sys/thread.h"

namespace tolvane {
namespace {

constexpr size_t kMaxWorkers = 12;

// A directory's descriptor, shared by the work items of its subdirectories,
// which open themselves relative to it; closed when the last of them has.
struct SharedDir {
  sys::UniqueFd fd;
};

// A directory to read: its path text (the root joined with the names below
// it), where its own name begins in that text, its depth, its parent's
// descriptor and its parent's ignore chain. Without the parent's descriptor
// (the root, a directory tried again) it opens by its path.
struct DirWork {
  std::string path;
  size_t name_offset;
  size_t depth;
  std::shared_ptr<const SharedDir> parent;
  std::shared_ptr<const IgnoreChain> chain;
};

// A worker's reusable buffers.
struct Scratch {
  std::string listing;
  std::string path;
};

EntryType FromDirentType(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryType::kFile;
    case DT_DIR:
      return EntryType::kDirectory;
    case DT_LNK:
      return EntryType::kSymlink;
    case DT_UNKNOWN:
      return EntryType::kUnknown;
    default:
      return EntryType::kOther;
  }
}

EntryType FromMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::kFile;
  if (S_ISDIR(mode)) return EntryType::kDirectory;
  if (S_ISLNK(mode)) return EntryType::kSymlink;
  return EntryType::kOther;
}

// Where the names below `dir` begin in their path text ("a" gives "a/x", "a/"
// and "/" no second separator).
size_t ChildOffset(std::string_view dir) {
  return dir.size() + (dir.ends_with('/') ? 0 : 1);
}

// The chain of the root's parent directories, "/" first: their `.ignore` files,
// and the git files of the repository they may open, anchored through the
// root's path below each of them.
std::shared_ptr<const IgnoreChain> ParentsChain(
    const std::string& root, const std::shared_ptr<const IgnoreRules>& global) {
  auto chain = IgnoreChain::Empty();
  auto real = sys::RealPath(root);
  if (!real) return chain;
  const uint32_t offset = static_cast<uint32_t>(ChildOffset(root));
  for (size_t slash = 0; slash != std::string::npos && slash + 1 < real->size();
       slash = real->find('/', slash + 1)) {
    // The parent with its trailing "/".
    const std::string base = real->substr(0, slash + 1);
    IgnoreChain::DirFiles files;
    files.ignore = ReadIgnoreFile(AT_FDCWD, base, ".ignore");
    GitMarker git = ReadGitMarker(AT_FDCWD, base);
    files.has_git = git.present;
    files.exclude = std::move(git.exclude);
    if (files.has_git || chain->in_repository()) {
      files.gitignore = ReadIgnoreFile(AT_FDCWD, base, ".gitignore");
    }
    chain = IgnoreChain::Child(chain, files, global,
                               {offset, real->substr(base.size()) + "/"});
  }
  return chain;
}

class Walk {
 public:
  Walk(const WalkVisitor& visit, std::shared_ptr<const IgnoreRules> global,
       const WalkOptions& options)
      : visit_(visit),
        global_(std::move(global)),
        stop_(options.stop),
        unread_out_(options.unread),
        workers_(std::clamp<size_t>(std::thread::hardware_concurrency(), 1,
                                    kMaxWorkers)) {}

  // Walks below the directories of `start` on the calling thread and
  // workers_ - 1 threads; returns when all are done.
  void Run(std::vector<DirWork> start) {
    queue_ = std::move(start);
    std::vector<std::thread> threads;
    threads.reserve(workers_ - 1);
    for (size_t i = 1; i < workers_; ++i) {
      try {
        threads.push_back(sys::StartThread([this] { Work(); }));
      } catch (const std::exception&) {
        // A thread refused, or no memory for its state: the ones that run
        // take the whole walk.
        std::lock_guard<std::mutex> lock(mu_);
        workers_ = threads.size() + 1;
        break;
      }
    }
    Work();
    for (std::thread& thread : threads) thread.join();
    LeaveUnread();
  }

 private:
  // Depth first on a local stack; the shallowest half of it goes to the shared
  // queue whenever another worker waits for work.
  void Work() {
    Scratch scratch;
    std::vector<DirWork> local;
    while (Take(&local)) {
      while (!local.empty()) {
        if (Stopped()) {
          local.clear();
          break;
        }
        DirWork work = std::move(local.back());
        local.pop_back();
        ReadDir(std::move(work), &local, &scratch);
        if (local.size() > 1 && waiting_.load(std::memory_order_relaxed) > 0)
          Share(&local);
      }
    }
  }

  // Waits for shared work. False once every worker waits and the queue is
  // empty: no work is left anywhere, since a worker only waits with an empty
  // stack.
  bool Take(std::vector<DirWork>* local) {
    std::unique_lock<std::mutex> lock(mu_);
    waiting_.store(++idle_, std::memory_order_relaxed);
    for (;;) {
      if (!queue_.empty()) {
        local->push_back(std::move(queue_.back()));
        queue_.pop_back();
        waiting_.store(--idle_, std::memory_order_relaxed);
        return true;
      }
      if (done_) return false;
      if (idle_ == workers_) {
        if (TryAgain()) continue;
        done_ = true;
        cv_.notify_all();
        return false;
      }
      cv_.wait(lock);
    }
  }

  void Share(std::vector<DirWork>* local) {
    const auto half = static_cast<ptrdiff_t>(local->size() / 2);
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.insert(queue_.end(), std::make_move_iterator(local->begin()),
                    std::make_move_iterator(local->begin() + half));
    }
    local->erase(local->begin(), local->begin() + half);
    cv_.notify_all();
  }

  // With mu_ held, once no work is left anywhere: queues again the
  // directories that couldn't be opened for want of resources, unless the
  // round since the last try read none. A round that read some closed their
  // descriptors, so trying again may succeed; one that read none shows the
  // resources held outside the walk. Each round reads at least one directory,
  // so the tree bounds the number of rounds.
  bool TryAgain() {
    if (unread_.empty() || Stopped() ||
        read_.exchange(0, std::memory_order_relaxed) == 0) {
      return false;
    }
    for (auto& [work, error] : unread_) queue_.push_back(std::move(work));
    unread_.clear();
    cv_.notify_all();
    return true;
  }

  // Once the workers are done: the directories still unread go to the
  // caller's UnreadDirs, else each is a walk error.
  void LeaveUnread() {
    for (auto& [work, error] : unread_) {
      if (unread_out_ == nullptr) {
        Error(work.path, work.depth, error);
        continue;
      }
      unread_out_->global = global_;
      unread_out_->dirs.push_back(
          {std::move(work.path), work.depth, std::move(work.chain)});
    }
  }

  bool Stopped() const {
    return stop_ != nullptr && stop_->load(std::memory_order_relaxed);
  }

  void Error(std::string_view path, size_t depth, const FsError& error) const {
    visit_(WalkEntry{path, depth, EntryType::kUnknown, error.payload()});
  }

  // Reads one directory: delivers its admitted entries and stacks its admitted
  // subdirectories.
  void ReadDir(DirWork work, std::vector<DirWork>* local, Scratch* scratch) {
    try {
      const bool by_path = work.parent == nullptr;
      auto fd =
          sys::OpenDirAt(by_path ? AT_FDCWD : work.parent->fd.get(),
                         work.path.c_str() + (by_path ? 0 : work.name_offset),
                         /*follow=*/work.depth == 0);
      work.parent.reset();
      if (!fd && fd.error().out_of_resources()) {
        std::lock_guard<std::mutex> lock(mu_);
        unread_.emplace_back(std::move(work), std::move(fd.error()));
        return;
      }
      if (!fd) return Error(work.path, work.depth, fd.error());
      read_.fetch_add(1, std::memory_order_relaxed);
      size_t used = 0;
      Status listed = sys::ReadDirRecords(fd->get(), &scratch->listing, &used);
      const std::string_view records(scratch->listing.data(), used);
      const std::shared_ptr<const IgnoreChain> chain =
          DirChain(work, fd->get(), records);
      ReadEntries(work, std::move(*fd), records, chain, local, scratch);
      if (!listed) Error(work.path, work.depth, listed.error());
    } catch (const std::bad_alloc&) {
      Error(work.path, work.depth,
            FsError::Io(IoError::Message(kOutOfMemoryText)));
    }
  }

  // The chain for the entries of `work`'s directory, reading only the ignore
  // files that its listing holds.
  std::shared_ptr<const IgnoreChain> DirChain(const DirWork& work, int fd,
                                              std::string_view records) const {
    bool has_ignore = false, has_gitignore = false, has_git = false;
    sys::ForEachDirRecord(records, [&](const sys::DirRecord& record) {
      has_ignore |= record.name == ".ignore";
      has_gitignore |= record.name == ".gitignore";
      has_git |= record.name == ".git";
    });
    IgnoreChain::DirFiles files;
    if (has_ignore) files.ignore = ReadIgnoreFile(fd, "", ".ignore");
    if (has_git) {
      GitMarker git = ReadGitMarker(fd, "");
      files.has_git = git.present;
      files.exclude = std::move(git.exclude);
    }
    if (has_gitignore && (files.has_git || work.chain->in_repository())) {
      files.gitignore = ReadIgnoreFile(fd, "", ".gitignore");
    }
    const auto offset = static_cast<uint32_t>(ChildOffset(work.path));
    return IgnoreChain::Child(work.chain, files, global_, {offset, {}});
  }

  void ReadEntries(const DirWork& work, sys::UniqueFd fd,
                   std::string_view records,
                   const std::shared_ptr<const IgnoreChain>& chain,
                   std::vector<DirWork>* local, Scratch* scratch) const {
    const int dir_fd = fd.get();
    std::shared_ptr<const SharedDir> shared;
    std::string& path = scratch->path;
    path.assign(work.path);
    if (!path.ends_with('/')) path.push_back('/');
    const size_t name_offset = path.size();
    const size_t depth = work.depth + 1;
    sys::ForEachDirRecord(records, [&](const sys::DirRecord& record) {
      path.resize(name_offset);
      path.append(record.name);
      EntryType type = FromDirentType(record.type);
      if (type == EntryType::kUnknown) {
        auto st = sys::StatAt(dir_fd, record.name.data(), /*follow=*/false);
        if (!st) return Error(path, depth, st.error());
        type = FromMode(st->st_mode);
      }
      const bool is_dir = type == EntryType::kDirectory;
      if (chain->Matched(path, name_offset, is_dir) == IgnoreMatch::kIgnore)
        return;
      visit_(
          WalkEntry{path, depth, type, {}, dir_fd, path.c_str() + name_offset});
      if (!is_dir) return;
      if (!shared)
        shared = std::make_shared<const SharedDir>(SharedDir{std::move(fd)});
      local->push_back(DirWork{path, name_offset, depth, shared, chain});
    });
  }

  const WalkVisitor& visit_;
  const std::shared_ptr<const IgnoreRules> global_;
  const std::atomic<bool>* const stop_;
  UnreadDirs* const unread_out_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<DirWork> queue_;  // guarded by mu_
  // Directories that couldn't be opened for want of resources, and why.
  std::vector<std::pair<DirWork, FsError>> unread_;  // guarded by mu_
  // Directories opened since the last try of unread_.
  std::atomic<size_t> read_{0};
  size_t workers_;     // guarded by mu_ once the threads run
  size_t idle_ = 0;    // guarded by mu_
  bool done_ = false;  // guarded by mu_
  // idle_, readable without the lock: a hint that decides when a worker shares
  // its stack.
  std::atomic<size_t> waiting_{0};
};

}  // namespace

void ParallelWalk(const std::string& root, const WalkVisitor& visit,
                  const WalkOptions& options) {
  auto st = sys::Stat(root);
  if (!st) {
    visit(WalkEntry{root, 0, EntryType::kUnknown, st.error().payload()});
    return;
  }
  const EntryType type = FromMode(st->st_mode);
  visit(WalkEntry{root, 0, type, {}});
  if (type != EntryType::kDirectory) return;

  auto global = ReadGlobalExcludes(options.git_environment);
  auto parents = ParentsChain(root, global);
  std::vector<DirWork> start;
  start.push_back(DirWork{root, 0, 0, nullptr, std::move(parents)});
  Walk(visit, std::move(global), options).Run(std::move(start));
}

void ResumeWalk(UnreadDirs unread, const WalkVisitor& visit,
                const WalkOptions& options) {
  if (unread.dirs.empty()) return;
  std::vector<DirWork> start;
  start.reserve(unread.dirs.size());
  for (UnreadDirs::Dir& dir : unread.dirs) {
    start.push_back(DirWork{std::move(dir.path), 0, dir.depth, nullptr,
                            std::move(dir.chain)});
  }
  Walk(visit, std::move(unread.global), options).Run(std::move(start));
}

}  // namespace tolvane
