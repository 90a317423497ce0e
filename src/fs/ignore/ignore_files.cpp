#include "fs/ignore/ignore_files.h"

#include <fcntl.h>

#include <optional>

#include "fs/ignore/git_config.h"
#include "fs/sys/dir.h"
#include "fs/sys/file.h"

namespace tolvane {
namespace {

// The whole content of a regular file; nullopt for anything else or on any
// failure. OpenFileAt learns the type before it opens anything (a FIFO or
// device in the place of an ignore file is never opened).
std::optional<std::string> ReadRegularFile(int dir_fd,
                                           const std::string& path) {
  struct stat st;
  auto fd = sys::OpenFileAt(dir_fd, path, /*follow=*/true, &st);
  if (!fd || !S_ISREG(st.st_mode)) return std::nullopt;
  auto text = sys::ReadToEnd(fd->get(), static_cast<uint64_t>(st.st_size));
  if (!text) return std::nullopt;
  return std::move(*text);
}

std::string Joined(std::string_view base, std::string_view name) {
  std::string path(base);
  path.append(name);
  return path;
}

// The first line of a git pointer file ("gitdir: PATH", or a bare path in
// "commondir"), with its trailing white space dropped.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() &&
         (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

// `path` as seen from `dir` (which ends with "/" or is empty): itself when
// absolute.
std::string Resolve(std::string_view dir, const std::string& path) {
  return !path.empty() && path.front() == '/' ? path : Joined(dir, path);
}

// A variable's value, `fallback` when it is unset or empty.
std::string ValueOr(const std::optional<std::string>& value,
                    std::string_view fallback = {}) {
  return value && !value->empty() ? *value : std::string(fallback);
}

std::optional<std::string> ExcludesFileIn(const std::string& config_path) {
  if (config_path.empty()) return std::nullopt;
  auto text = ReadRegularFile(AT_FDCWD, config_path);
  if (!text) return std::nullopt;
  return FindConfigValue(*text, "core", "excludesfile");
}

// git's "~" and "~/..." expansion from $HOME.
std::string ExpandHome(std::string path, const GitEnvironment& env) {
  if ((path == "~" || path.starts_with("~/")) && env.home)
    path.replace(0, 1, *env.home);
  return path;
}

}  // namespace

std::shared_ptr<const IgnoreRules> ReadIgnoreFile(int dir_fd,
                                                  std::string_view base,
                                                  std::string_view name) {
  auto text = ReadRegularFile(dir_fd, Joined(base, name));
  return text ? IgnoreRules::Parse(*text) : nullptr;
}

GitMarker ReadGitMarker(int dir_fd, std::string_view base) {
  GitMarker marker;
  const std::string dot_git = Joined(base, ".git");
  if (sys::HasNul(dot_git)) return marker;
  auto st = sys::StatAt(dir_fd, dot_git.c_str(), /*follow=*/true);
  if (!st) return marker;
  marker.present = true;
  std::string git_dir = dot_git + "/";
  if (S_ISREG(st->st_mode)) {
    auto text = ReadRegularFile(dir_fd, dot_git);
    if (!text) return marker;
    std::string line = FirstLine(*text);
    constexpr std::string_view kGitDir = "gitdir: ";
    if (!line.starts_with(kGitDir)) return marker;
    git_dir = Resolve(base, line.substr(kGitDir.size())) + "/";
    if (auto common = ReadRegularFile(dir_fd, git_dir + "commondir")) {
      git_dir = Resolve(git_dir, FirstLine(*common)) + "/";
    }
  }
  marker.exclude = ReadIgnoreFile(dir_fd, git_dir, "info/exclude");
  return marker;
}

std::string GlobalExcludesPath(const GitEnvironment& env) {
  const std::string home = ValueOr(env.home);
  const std::string xdg =
      ValueOr(env.xdg_config_home, home.empty() ? "" : home + "/.config");
  std::optional<std::string> configured;
  if (env.git_config_global) {
    configured = ExcludesFileIn(*env.git_config_global);
  } else {
    configured = ExcludesFileIn(xdg.empty() ? "" : xdg + "/git/config");
    auto user = ExcludesFileIn(home.empty() ? "" : home + "/.gitconfig");
    if (user) configured = std::move(user);
  }
  if (configured) return ExpandHome(std::move(*configured), env);
  return xdg.empty() ? std::string() : xdg + "/git/ignore";
}

std::shared_ptr<const IgnoreRules> ReadGlobalExcludes(
    const GitEnvironment& env) {
  std::string path = GlobalExcludesPath(env);
  return path.empty() ? nullptr : ReadIgnoreFile(AT_FDCWD, "", path);
}

}  // namespace tolvane
