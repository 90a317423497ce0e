// Which ignore files apply to the entries of one directory, in the precedence
// of ripgrep's walker: every `.ignore` (deepest first, the root's parents
// included) before every `.gitignore` of the enclosing repository (deepest
// first, up to the repository's top), then the repository's info/exclude, then
// the global excludes file. A directory holding `.git` starts a repository of
// its own. Immutable and shared by the directories below; safe to match from
// many threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fs/ignore/ignore_rules.h"

namespace tolvane {

class IgnoreChain {
 public:
  // Where a file's directory lies in an entry's path text: the entry's path
  // relative to that directory is `prefix` followed by the entry's path from
  // `offset` on. Directories above the walk's root need the prefix (the root's
  // path below them).
  struct Anchor {
    uint32_t offset;
    std::string prefix;
  };

  // The ignore files found in one directory; null members where a file is
  // absent or empty.
  struct DirFiles {
    // .ignore
    std::shared_ptr<const IgnoreRules> ignore;
    // .gitignore, read only inside a repository
    std::shared_ptr<const IgnoreRules> gitignore;
    // The directory holds `.git`: the top of a repository.
    bool has_git = false;
    // That repository's info/exclude.
    std::shared_ptr<const IgnoreRules> exclude;
  };

  // The chain above the first directory: no rules, no repository.
  static std::shared_ptr<const IgnoreChain> Empty();

  // The chain of a directory: its own files over its parent's chain. `global`
  // is the global excludes file, taken into a repository that this directory
  // starts. Returns `parent` itself when the directory adds nothing.
  static std::shared_ptr<const IgnoreChain> Child(
      const std::shared_ptr<const IgnoreChain>& parent, const DirFiles& files,
      const std::shared_ptr<const IgnoreRules>& global, const Anchor& anchor);

  // True inside a git repository, where `.gitignore` files count.
  bool in_repository() const { return in_repository_; }

  // The verdict on the entry whose path text is `path` and whose name begins at
  // `name_offset`: the first file, in precedence order, that has a verdict
  // gives it.
  IgnoreMatch Matched(std::string_view path, size_t name_offset,
                      bool is_dir) const;

 private:
  struct Scope {
    std::shared_ptr<const IgnoreRules> rules;
    Anchor anchor;
  };

  // In precedence order; scopes_[git_begin_..] are the repository's files.
  std::vector<Scope> scopes_;
  size_t git_begin_ = 0;
  bool in_repository_ = false;
};

}  // namespace tolvane
