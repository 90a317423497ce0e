// The two vocabularies of change watching: the platform watcher's raw events
// (what inotify reported, in the terms of the recursive watcher the index was
// designed against) and the debounced per-path changes the index applies.
// Plain values, moved between threads freely.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane {

// Raw event kinds. Create and Remove keep whether the entry was a directory;
// the three rename modes are one half of a move (From, To) or both halves
// paired by the kernel's cookie (Both, paths [from, to]). kRescan: events
// were lost (the kernel's queue overflowed) and the tree must be looked at
// again.
enum class EventKind : uint8_t {
  kCreateFile,
  kCreateFolder,
  kModifyData,
  kModifyMetadata,
  kRenameFrom,
  kRenameTo,
  kRenameBoth,
  kRemoveFile,
  kRemoveFolder,
  kRescan,
};

// One raw event: absolute paths under the root's canonical form. `dir`, for
// the rename modes: the entry moved is a directory.
struct WatchEvent {
  EventKind kind;
  std::vector<std::string> paths;
  bool dir = false;
};

enum class ChangeKind : uint8_t { kCreated, kModified, kDeleted, kRenamed };

// One released change. For kRenamed, `path` is the old path and `to` the new
// one; `to` is empty otherwise. `replaces`, for kCreated: the path was removed
// or renamed away before it appeared again, so whatever the index holds for
// it (a directory's descendants above all) goes first. `moved_dir`: `path`
// left by a move as a directory, so whatever the index holds below it goes
// too, even where it doesn't hold the directory itself.
struct ChangeEvent {
  std::string path;
  ChangeKind kind;
  std::string to;
  bool replaces = false;
  bool moved_dir = false;
};

}  // namespace tolvane
