#include "fs/path/path.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace tolvane {
std::optional<std::string_view> PathComponents::Next(size_t* start) {
  if (root_pending_) {
    root_pending_ = false;
    if (start) *start = 0;
    return path_.substr(0, 1);
  }
  while (pos_ < path_.size()) {
    while (pos_ < path_.size() && path_[pos_] == '/') ++pos_;
    size_t begin = pos_;
    while (pos_ < path_.size() && path_[pos_] != '/') ++pos_;
    if (pos_ == begin) break;
    std::string_view part = path_.substr(begin, pos_ - begin);
    bool leading = first_ && begin == 0;
    first_ = false;
    if (part == "." && !leading) continue;
    if (start) *start = begin;
    return part;
  }
  return std::nullopt;
}

bool PathEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  PathComponents ca(a), cb(b);
  for (;;) {
    auto x = ca.Next();
    auto y = cb.Next();
    if (!x || !y) return !x && !y;
    if (*x != *y) return false;
  }
}

namespace {

// Whether `path` is spelled as its components joined by single separators (a
// leading "/" kept): no repeated or trailing separator, no "." component after
// the first. The index's own paths are.
bool IsPlainSpelling(std::string_view path) {
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    std::string_view rest = path.substr(slash + 1);
    if (rest.empty()) return path.size() == 1;
    if (rest[0] == '/' || rest == "." || rest.starts_with("./")) return false;
  }
  return true;
}

// The components of `path` joined by single separators, a leading "/" kept.
std::string PlainSpelling(std::string_view path) {
  std::string plain;
  PathComponents parts(path);
  while (auto part = parts.Next()) {
    if (!plain.empty() && plain != "/") plain += '/';
    plain += *part;
  }
  return plain;
}

}  // namespace

size_t PathHash(std::string_view path) {
  // The hash of the plain spelling, which equal paths share.
  if (IsPlainSpelling(path)) return std::hash<std::string_view>{}(path);
  return std::hash<std::string_view>{}(PlainSpelling(path));
}

std::optional<std::string_view> StripRoot(std::string_view path,
                                          std::string_view root) {
  PathComponents cp(path), cr(root);
  for (;;) {
    auto r = cr.Next();
    size_t start = 0;
    auto p = cp.Next(&start);
    if (!r) {
      if (!p) return std::string_view();
      std::string_view rest = path.substr(start);
      while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
      return rest;
    }
    if (!p || *p != *r) return std::nullopt;
  }
}

void DirectorySet::Insert(std::string_view dir) {
  size_t components = 0;
  for (PathComponents parts(dir); parts.Next();) ++components;
  fewest_components_ = std::min(fewest_components_, components);
  most_components_ = std::max(most_components_, components);
  dirs_.insert(IsPlainSpelling(dir) ? std::string(dir) : PlainSpelling(dir));
}

bool DirectorySet::Encloses(std::string_view path) const {
  if (dirs_.empty()) return false;
  if (!IsPlainSpelling(path)) return EnclosesPlain(PlainSpelling(path));
  return EnclosesPlain(path);
}

bool DirectorySet::EnclosesPlain(std::string_view path) const {
  // The ancestors of a plainly spelled path: "/" when it is absolute, and
  // each prefix that ends before a separator.
  size_t components = 0;
  size_t from = 0;
  if (path.starts_with('/')) {
    components = from = 1;
    if (path.size() > 1 && fewest_components_ == 1 && dirs_.contains("/")) {
      return true;
    }
  }
  for (size_t slash = path.find('/', from); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    if (++components > most_components_) break;
    if (components >= fewest_components_ &&
        dirs_.contains(path.substr(0, slash))) {
      return true;
    }
  }
  return false;
}

Parent ParentOf(std::string_view path) {
  std::vector<std::string_view> parts;
  PathComponents components(path);
  while (auto part = components.Next()) parts.push_back(*part);
  if (parts.empty() || (parts.size() == 1 && parts[0] == "/")) {
    return {false, {}};  // "" or "/": no parent
  }
  std::string parent;
  for (size_t k = 0; k + 1 < parts.size(); ++k) {
    if (k > 0 && parent != "/") parent += '/';
    parent += parts[k];
  }
  return {true, parent};
}

std::string resolve_path(std::string_view root, std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  std::string result;
  result.reserve(root.size() + 1 + path.size());
  result.append(root);
  if (!root.empty() && root.back() != '/') result.push_back('/');
  result.append(path);
  return result;
}

}  // namespace tolvane
