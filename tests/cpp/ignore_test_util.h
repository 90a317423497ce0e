// Helpers of the ignore and walk tests: environment overrides and git as the
// reference (run through the shell with the test process's own environment).
// The general helpers (scratch directories, file writing) are in test_util.h.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fs/ignore/ignore_files.h"
#include "test_util.h"

namespace tolvane::testing {

// Single-quotes `text` for the shell.
inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// Runs `command` through /bin/sh and collects its standard output.
inline ProcessOutput RunCommand(const std::string& command) {
  ProcessOutput result{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.output.append(buffer, n);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Runs git in `dir` with `args` (already quoted where needed); fails the test
// when git fails.
inline std::string Git(const std::string& dir, const std::string& args) {
  ProcessOutput result =
      RunCommand("git -C " + Quote(dir) + " " + args + " 2>/dev/null");
  EXPECT_EQ(result.status, 0) << "git " << args << " in " << dir;
  return result.output;
}

inline void GitInit(const std::string& dir) {
  MakeDirs(dir);
  Git(dir, "init -q .");
}

// The paths of a NUL-separated listing (git's -z output).
inline std::set<std::string> SplitNul(const std::string& text) {
  std::set<std::string> paths;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    paths.insert(text.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

// The files git lists in `dir` as not ignored (nothing is ever tracked in these
// tests), relative to `dir`.
inline std::set<std::string> GitListed(const std::string& dir) {
  return SplitNul(Git(dir, "ls-files -z --others --cached --exclude-standard"));
}

// Sets (or, with nullopt, unsets) environment variables for its lifetime, then
// restores them.
class EnvOverride {
 public:
  EnvOverride() = default;
  EnvOverride(const EnvOverride&) = delete;
  EnvOverride& operator=(const EnvOverride&) = delete;
  ~EnvOverride() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      Apply(it->first, it->second);
  }

  void Set(const std::string& name, std::optional<std::string> value) {
    const char* old = ::getenv(name.c_str());
    saved_.emplace_back(name,
                        old ? std::optional<std::string>(old) : std::nullopt);
    Apply(name, value);
  }

 private:
  static void Apply(const std::string& name,
                    const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The variables that locate the global excludes file, as this process has
// them now: what the binding layer hands the walk.
inline GitEnvironment ProcessGitEnvironment() {
  auto get = [](const char* name) -> std::optional<std::string> {
    const char* value = ::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  return {get("HOME"), get("XDG_CONFIG_HOME"), get("GIT_CONFIG_GLOBAL")};
}

// An environment in which neither our code nor git sees the machine's own git
// configuration: HOME and XDG_CONFIG_HOME point into `home`, no system or
// GIT_CONFIG_GLOBAL file.
inline void IsolateGitConfig(EnvOverride& env, const std::string& home) {
  env.Set("HOME", home);
  env.Set("XDG_CONFIG_HOME", std::nullopt);
  env.Set("GIT_CONFIG_GLOBAL", std::nullopt);
  env.Set("GIT_CONFIG_NOSYSTEM", "1");
  env.Set("GIT_DIR", std::nullopt);
  env.Set("GIT_WORK_TREE", std::nullopt);
}

}  // namespace tolvane::testing
