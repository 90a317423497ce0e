#include "fs/ignore/walk.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
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

// Each worker's stack is made with room for this many directories before the
// workers start, so that taking shared work never allocates.
constexpr size_t kStackRoom = 64;

// A directory's descriptor, shared by the work items of its subdirectories,
// which open themselves relative to it; closed when the last of them has.
struct SharedDir {
  sys::UniqueFd fd;
};

// A directory to read: its path text (the root joined with the names below
// it), its depth, its parent's ignore chain and the listing it was cut short
// in, if it was; where its own name begins in the path text and its parent's
// descriptor. Without the parent's descriptor (the root, a directory tried
// again) it opens by its path. `unread` is why it waits to be tried again
// (EMFILE, ENFILE or ENOMEM).
struct DirWork : UnreadDirs::Dir {
  size_t name_offset = 0;
  std::shared_ptr<const SharedDir> parent = nullptr;
  int unread = 0;
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
  // workers_ - 1 threads; returns when all are done. Throws as ParallelWalk.
  void Run(std::vector<DirWork> start) {
    queue_ = std::move(start);
    const size_t wanted = workers_;
    std::vector<std::vector<DirWork>> stacks(wanted);
    for (std::vector<DirWork>& stack : stacks) stack.reserve(kStackRoom);
    std::vector<std::thread> threads;
    threads.reserve(wanted - 1);
    // The workers that run take the whole walk: one that the system refuses,
    // that has no memory for its state or that can't be prepared takes no
    // part.
    for (size_t i = 1; i < wanted; ++i) {
      try {
        threads.push_back(sys::StartThread(
            [this, &stack = stacks[i]] { Work(stack); }, [this] { Fewer(1); }));
      } catch (const std::exception&) {
        Fewer(wanted - i);
        break;
      }
    }
    Work(stacks[0]);
    for (std::thread& thread : threads) thread.join();
    if (fault_) std::rethrow_exception(fault_);
    LeaveUnread();
    if (lost_) throw std::bad_alloc();
  }

 private:
  // Depth first on the worker's stack `local`; the shallowest half of it goes
  // to the shared queue whenever another worker waits for work. Whatever a
  // visit throws, but for want of memory (which keeps its directory), ends the
  // walk; Run rethrows it. (The walk never takes the interpreter lock: no
  // forced unwind comes this way.)
  void Work(std::vector<DirWork>& local) {
    try {
      Scratch scratch;
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
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!fault_) fault_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
      done_ = true;
      cv_.notify_all();
    }
  }

  void Fewer(size_t workers) {
    std::lock_guard<std::mutex> lock(mu_);
    workers_ -= workers;
    cv_.notify_all();
  }

  // Waits for shared work. False once every worker waits and the queue is
  // empty: no work is left anywhere, since a worker only waits with an empty
  // stack (whose room, made by Run, takes the work without allocating).
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
      try {
        queue_.insert(queue_.end(), std::make_move_iterator(local->begin()),
                      std::make_move_iterator(local->begin() + half));
      } catch (const std::bad_alloc&) {
        // The queue can't grow (and is as it was): the work stays here.
        return;
      }
    }
    local->erase(local->begin(), local->begin() + half);
    cv_.notify_all();
  }

  // With mu_ held, once no work is left anywhere: queues again the
  // directories left unread for want of resources, unless the round since the
  // last try read none whole. A round that read some closed their descriptors
  // and gave back their memory, so trying again may succeed; one that read
  // none shows the resources held outside the walk. Each round reads at least
  // one directory, so the tree bounds the number of rounds.
  bool TryAgain() {
    if (unread_.empty() || Stopped() ||
        read_.exchange(0, std::memory_order_relaxed) == 0) {
      return false;
    }
    // The queue is empty: the unread list takes its place without allocating.
    queue_.swap(unread_);
    cv_.notify_all();
    return true;
  }

  // Keeps `work` to be tried again, left unread for the reason `error` (an
  // error number). A directory that can't even be kept fails the walk.
  void Keep(DirWork work, int error) {
    work.unread = error;
    std::lock_guard<std::mutex> lock(mu_);
    try {
      unread_.push_back(std::move(work));
    } catch (const std::bad_alloc&) {
      lost_ = true;
    }
  }

  // Once the workers are done: the directories still unread go to the
  // caller's UnreadDirs; without it, one left for want of descriptors is a
  // walk error and one left for want of memory fails the walk.
  void LeaveUnread() {
    if (unread_.empty()) return;
    if (unread_out_ != nullptr) {
      unread_out_->global = global_;
      unread_out_->dirs.reserve(unread_out_->dirs.size() + unread_.size());
      for (DirWork& work : unread_)
        unread_out_->dirs.push_back(std::move(work));
      return;
    }
    for (const DirWork& work : unread_) {
      if (work.unread == ENOMEM) {
        lost_ = true;
      } else {
        Error(work.path, work.depth,
              FsError::Io(IoError::FromErrno(work.unread)));
      }
    }
  }

  bool Stopped() const {
    return failed_.load(std::memory_order_relaxed) ||
           (stop_ != nullptr && stop_->load(std::memory_order_relaxed));
  }

  void Error(std::string_view path, size_t depth, const FsError& error) const {
    visit_(WalkEntry{path, depth, EntryType::kUnknown, error.payload()});
  }

  // Reads one directory: delivers its admitted entries and stacks its admitted
  // subdirectories. One that can't be opened or listed for want of
  // descriptors or memory, or whose entries memory fails to deliver, is kept
  // to be tried again: in the last case with its listing, from the entry that
  // failed on.
  void ReadDir(DirWork work, std::vector<DirWork>* local, Scratch* scratch) {
    std::string_view records;
    std::shared_ptr<const IgnoreChain> chain = work.cut.chain;
    size_t next = work.cut.next;
    bool delivering = false;
    try {
      const bool by_path = work.parent == nullptr;
      auto fd =
          sys::OpenDirAt(by_path ? AT_FDCWD : work.parent->fd.get(),
                         work.path.c_str() + (by_path ? 0 : work.name_offset),
                         /*follow=*/work.depth == 0);
      work.parent.reset();
      if (!fd && fd.error().out_of_resources()) {
        return Keep(std::move(work),
                    fd.error().out_of_memory() ? ENOMEM : fd.error().os_code());
      }
      if (!fd) return Error(work.path, work.depth, fd.error());
      Status listed;
      if (chain) {
        records = work.cut.records;
      } else {
        size_t used = 0;
        listed = sys::ReadDirRecords(fd->get(), &scratch->listing, &used);
        // A listing that memory cut short delivers nothing.
        if (!listed && listed.error().out_of_memory()) {
          return Keep(std::move(work), ENOMEM);
        }
        records = std::string_view(scratch->listing.data(), used);
        chain = DirChain(work, fd->get(), records);
      }
      delivering = true;
      ReadEntries(work, std::move(*fd), records, chain, &next, local, scratch);
      read_.fetch_add(1, std::memory_order_relaxed);
      if (!listed) Error(work.path, work.depth, listed.error());
    } catch (const std::bad_alloc&) {
      if (delivering && !work.cut.chain) {
        // The worker's listing goes with the directory.
        work.cut.records = std::move(scratch->listing);
        work.cut.records.resize(records.size());
        work.cut.chain = std::move(chain);
      }
      work.cut.next = next;
      Keep(std::move(work), ENOMEM);
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

  // Delivers the entries of `records` from the offset `*next` on, keeping
  // `*next` at the record being delivered (at the end once all are), and
  // stacks the admitted subdirectories.
  void ReadEntries(const DirWork& work, sys::UniqueFd fd,
                   std::string_view records,
                   const std::shared_ptr<const IgnoreChain>& chain,
                   size_t* next, std::vector<DirWork>* local,
                   Scratch* scratch) const {
    const int dir_fd = fd.get();
    std::shared_ptr<const SharedDir> shared;
    std::string& path = scratch->path;
    path.assign(work.path);
    if (!path.ends_with('/')) path.push_back('/');
    const size_t name_offset = path.size();
    const size_t depth = work.depth + 1;
    const size_t start = *next;
    sys::ForEachDirRecord(
        records.substr(start), [&](const sys::DirRecord& record) {
          *next = start + record.offset;
          path.resize(name_offset);
          path.append(record.name);
          EntryType type = FromDirentType(record.type);
          if (type == EntryType::kUnknown) {
            auto st = sys::StatAt(dir_fd, record.name.data(), /*follow=*/false);
            // Kernel memory that a stat can't get keeps the directory too.
            if (!st && st.error().out_of_memory()) throw std::bad_alloc();
            if (!st) return Error(path, depth, st.error());
            type = FromMode(st->st_mode);
          }
          const bool is_dir = type == EntryType::kDirectory;
          if (chain->Matched(path, name_offset, is_dir) == IgnoreMatch::kIgnore)
            return;
          // A subdirectory's work, and room for it on the stack, are made
          // before its visit: once the visit has returned, stacking it can't
          // fail.
          DirWork child;
          if (is_dir) {
            if (!shared)
              shared =
                  std::make_shared<const SharedDir>(SharedDir{std::move(fd)});
            child = DirWork{{path, depth, chain, {}}, name_offset, shared};
            if (local->size() == local->capacity())
              local->reserve(2 * local->capacity());
          }
          visit_(WalkEntry{
              path, depth, type, {}, dir_fd, path.c_str() + name_offset});
          if (is_dir) local->push_back(std::move(child));
        });
    *next = records.size();
  }

  const WalkVisitor& visit_;
  const std::shared_ptr<const IgnoreRules> global_;
  const std::atomic<bool>* const stop_;
  UnreadDirs* const unread_out_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<DirWork> queue_;  // guarded by mu_
  // Directories left unread for want of resources.
  std::vector<DirWork> unread_;  // guarded by mu_
  // Directories read whole since the last try of unread_.
  std::atomic<size_t> read_{0};
  size_t workers_;     // guarded by mu_ once the threads run
  size_t idle_ = 0;    // guarded by mu_
  bool done_ = false;  // guarded by mu_
  // idle_, readable without the lock: a hint that decides when a worker shares
  // its stack.
  std::atomic<size_t> waiting_{0};
  // The first exception that ended a worker, and a directory that couldn't be
  // kept: either fails the walk. Guarded by mu_ while the workers run.
  std::exception_ptr fault_;
  bool lost_ = false;
  // Set with fault_, readable without the lock: the workers stop.
  std::atomic<bool> failed_{false};
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
  start.push_back(DirWork{{root, 0, std::move(parents), {}}});
  Walk(visit, std::move(global), options).Run(std::move(start));
}

void ResumeWalk(UnreadDirs unread, const WalkVisitor& visit,
                const WalkOptions& options) {
  if (unread.dirs.empty()) return;
  std::vector<DirWork> start;
  start.reserve(unread.dirs.size());
  for (UnreadDirs::Dir& dir : unread.dirs)
    start.push_back(DirWork{std::move(dir)});
  Walk(visit, std::move(unread.global), options).Run(std::move(start));
}

}  // namespace tolvane
