// Finding and reading the ignore files of a walk: a directory's `.ignore` and
// `.gitignore`, the info/exclude of the repository a `.git` entry marks, and
// the user's global excludes file as git locates it (core.excludesFile of the
// user's configuration, else the XDG default). The environment comes from the
// caller; nothing here reads it. Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fs/ignore/ignore_rules.h"

namespace tolvane {

// The rules of the file at `base` + `name`, opened relative to `dir_fd`
// (AT_FDCWD for a `base` that is a path with its trailing "/"). nullptr when it
// is missing, can't be read, isn't a regular file or holds no rule: such a file
// is passed over silently.
std::shared_ptr<const IgnoreRules> ReadIgnoreFile(int dir_fd,
                                                  std::string_view base,
                                                  std::string_view name);

// A repository's top: whether `.git` exists there (a link to it followed), and
// the rules of the info/exclude file of its common git directory.
struct GitMarker {
  bool present = false;
  std::shared_ptr<const IgnoreRules> exclude;
};
// The marker of `base` + ".git" relative to `dir_fd`. `.git` may be the git
// directory itself, or a file "gitdir: PATH" (a linked worktree or a submodule)
// whose PATH may name a common directory in its "commondir" file.
GitMarker ReadGitMarker(int dir_fd, std::string_view base);

// The environment variables that locate the global excludes file, as the
// caller read them (nullopt: unset).
struct GitEnvironment {
  std::optional<std::string> home;
  std::optional<std::string> xdg_config_home;
  std::optional<std::string> git_config_global;
};

// The path of the global excludes file: core.excludesFile from
// $GIT_CONFIG_GLOBAL when that is set, else from $XDG_CONFIG_HOME/git/config
// (or ~/.config/git/config) overridden by
// ~/.gitconfig, with "~/" expanded; without it $XDG_CONFIG_HOME/git/ignore,
// else $HOME/.config/git/ignore. Empty when none can be named.
std::string GlobalExcludesPath(const GitEnvironment& env);

// The rules of the global excludes file; nullptr when there are none.
std::shared_ptr<const IgnoreRules> ReadGlobalExcludes(
    const GitEnvironment& env);

}  // namespace tolvane
