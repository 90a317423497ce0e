// The ignore-aware parallel directory walk of the index build and of grep's own
// candidate walk: hidden entries walked, symbolic links not followed, `.ignore`
// files honoured everywhere and git's ignore files inside a repository. Runs on
// min(processors, 12) workers, the calling thread and threads of its own (not
// the shared pool); owns them, the per-directory ignore chains and the
// directory descriptors. The visitor runs concurrently on the workers and
// guards its own state. A directory that can't be opened, listed or delivered
// for want of descriptors or memory is tried again once the rest of the walk
// is done. Its threads start through sys::StartThread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fs/ignore/ignore_files.h"

namespace tolvane {

// An entry's file type, from the directory listing (a stat only where the file
// system doesn't tell). A symbolic link is reported as such, whatever it points
// to.
enum class EntryType : uint8_t {
  kUnknown,
  kFile,
  kDirectory,
  kSymlink,
  kOther
};

// One thing the walk delivers: an entry, or a walk error (a directory that
// can't be read, an entry whose type can't be read...). Views stay valid only
// during the visitor's call.
struct WalkEntry {
  // The root joined with the names below it: "proj/src/a.py" for the root
  // "proj", "./src/a.py" for ".", "a/x" for "a/"; the root itself at depth 0.
  // For an error, the path it concerns.
  std::string_view path;
  size_t depth;
  // kUnknown only for an error.
  EntryType type;
  // Empty for an entry; for an error its text ("<strerror> (os error N)").
  std::string_view error;
  // For an entry below the root: a descriptor of its directory and its name
  // there (NUL-terminated), so that visitors can stat and open it without
  // resolving the whole path again. -1 and nullptr for the root and errors.
  int dir_fd = -1;
  const char* name = nullptr;

  bool is_error() const { return !error.empty(); }
};

using WalkVisitor = std::function<void(const WalkEntry&)>;

class IgnoreChain;

// The directories that a walk left unread for want of descriptors or memory,
// with the ignore rules that hold in them, so that a later walk reads them as
// this one would have. One whose entries were being delivered when memory ran
// out keeps its listing, and goes on from the first entry not delivered.
struct UnreadDirs {
  // A listing whose delivery was cut short: its records (as
  // sys::ReadDirRecords gives them), the offset of the first record not
  // delivered, and the chain of its entries; `chain` is null for none.
  struct CutListing {
    std::string records;
    size_t next = 0;
    std::shared_ptr<const IgnoreChain> chain;
  };
  struct Dir {
    std::string path;
    size_t depth;
    std::shared_ptr<const IgnoreChain> chain;  // its parent's
    CutListing cut;
  };
  std::shared_ptr<const IgnoreRules> global;
  std::vector<Dir> dirs;
};

// What a walk takes from its caller: the environment that locates the user's
// global excludes file (the walk never reads the environment itself), a flag
// that, once set, ends the walk: no directory is read after it is seen, and
// where to leave the directories that stay unread for want of descriptors or
// memory (without it, one left for want of descriptors is a walk error, and
// one left for want of memory fails the walk).
struct WalkOptions {
  GitEnvironment git_environment;
  const std::atomic<bool>* stop = nullptr;
  UnreadDirs* unread = nullptr;
};

// Walks `root` and calls `visit` once for every entry that the ignore rules
// admit, the root included, and once for every walk error; an excluded
// directory's subtree is never read. A root that is a link to a directory is
// followed; a root that isn't a directory is its only entry. A directory that
// can't be opened, listed or delivered for want of descriptors or memory (a
// visit that throws std::bad_alloc included: that entry is delivered again)
// waits until no other work is left, and is tried again as long as the last
// try read some directory whole (closing its descriptors); the rest stay
// unread. Returns when every worker is done. Throws std::bad_alloc, once every
// worker is done, when memory fails the walk: a directory left unread for want
// of it without `options.unread`, or one that couldn't even be kept; rethrows
// any other exception that a visit threw, the walk ended at once.
void ParallelWalk(const std::string& root, const WalkVisitor& visit,
                  const WalkOptions& options = {});

// Walks on from the directories that an earlier walk left unread, as
// ParallelWalk would (`options.git_environment` aside: their rules are
// known); the entries of the directories and below are delivered.
void ResumeWalk(UnreadDirs unread, const WalkVisitor& visit,
                const WalkOptions& options = {});

}  // namespace tolvane
