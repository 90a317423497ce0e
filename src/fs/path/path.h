// Path text as the index compares it: component-wise. Repeated separators and a
// trailing separator don't count, a "." component counts only at the very
// beginning, a leading "/" is a component of its own; nothing else is
// normalised. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// Calls `visit(component)` for each component of `path`, in order; stops early
// when it returns false. Returns false when stopped early.
template <typename Visit>
bool ForEachComponent(std::string_view path, Visit&& visit) {
  size_t i = 0;
  if (!path.empty() && path.front() == '/') {
    if (!visit(std::string_view("/"))) return false;
  }
  bool first = true;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t start = i;
    while (i < path.size() && path[i] != '/') ++i;
    if (i == start) break;
    std::string_view part = path.substr(start, i - start);
    bool leading = first && start == 0;
    first = false;
    if (part == "." && !leading) continue;
    if (!visit(part)) return false;
  }
  return true;
}

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

// The path a method opens for its path argument: `path` unchanged when it
// begins with "/", else `root`, one "/" unless `root` is empty or already ends
// in one, then `path`. Pure text work: no canonicalisation, no access to the
// file system, no check that the result lies under `root`.
std::string resolve_path(std::string_view root, std::string_view path);

// `path` relative to `root` as UTF-8 text (invalid sequences replaced); the
// whole of `path` when it doesn't lie under `root`.
std::string RelativeText(std::string_view path, std::string_view root);

}  // namespace tolvane
