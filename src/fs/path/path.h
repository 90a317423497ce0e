// Path text as the index compares it: component-wise. Repeated separators and a
// trailing separator don't count, a "." component counts only at the very
// beginning, a leading "/" is a component of its own; nothing else is
// normalised. Also the parent of a path and the resolution of a path argument.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tolvane {

// The components of one path, in order, without allocating: a leading "/" is a
// component of its own; repeated and trailing separators yield nothing; a "."
// component is passed over unless it begins the path.
class PathComponents {
 public:
  explicit PathComponents(std::string_view path)
      : path_(path), root_pending_(!path.empty() && path.front() == '/') {}

  // The next component, or nullopt at the end; `start` receives its offset.
  std::optional<std::string_view> Next(size_t* start = nullptr);

 private:
  std::string_view path_;
  size_t pos_ = 0;
  bool first_ = true;
  bool root_pending_;
};

bool PathEqual(std::string_view a, std::string_view b);
size_t PathHash(std::string_view path);

struct PathHasher {
  using is_transparent = void;
  size_t operator()(std::string_view path) const { return PathHash(path); }
};
struct PathEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return PathEqual(a, b);
  }
};

// When `path` begins with the components of `root`: the rest of `path` after
// them (empty when the two are equal). nullopt otherwise.
std::optional<std::string_view> StripRoot(std::string_view path,
                                          std::string_view root);

// A set of directories, to tell the paths that lie strictly below one of them,
// component-wise: {"a"} encloses "a/b" and "a//b/c", but neither "a" itself
// nor "ab/c". A test costs one look-up per component count that the set's
// directories have.
class DirectorySet {
 public:
  void Insert(std::string_view dir);
  bool empty() const { return dirs_.empty(); }
  bool Encloses(std::string_view path) const;

 private:
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  bool EnclosesPlain(std::string_view path) const;

  // Plainly spelled: the components joined by single separators.
  std::unordered_set<std::string, TextHash, std::equal_to<>> dirs_;
  size_t fewest_components_ = SIZE_MAX;
  size_t most_components_ = 0;
};

// The path without its last component, rebuilt from PathComponents: "" for a
// single relative component; `has_parent` false (and `path` empty) for "" and
// "/".
struct Parent {
  bool has_parent;
  std::string path;
};
Parent ParentOf(std::string_view path);

// The path a method opens for its path argument: `path` unchanged when it
// begins with "/", else `root`, one "/" unless `root` is empty or already ends
// in one, then `path`. Pure text work: no canonicalisation, no access to the
// file system, no check that the result lies under `root`.
std::string resolve_path(std::string_view root, std::string_view path);

}  // namespace tolvane
