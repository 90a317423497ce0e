// Helpers every C++ test may use: a scratch directory per test, file writing
// and inspection, the working directory and the umask, a child process that
// reports back, a shortage of descriptors, and byte strings made printable.
// Area-specific helpers (git as a reference, environment overrides) live in
// their own headers.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::testing {

// A fresh directory under the system's temporary directory, removed with its
// content at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX");
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const {
    return path_ + "/" + relative;
  }

  // Names of the entries in the directory `sub` (relative to the scratch
  // directory), in the order the directory lists them.
  std::vector<std::string> Entries(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(sub.empty() ? path_ : *this / sub))
      names.push_back(entry.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

inline void MakeDirs(const std::string& path) {
  std::filesystem::create_directories(path);
}

// Writes `content` to `path`, creating the missing parent directories.
inline void WriteFile(const std::string& path,
                      const std::string& content = "") {
  const std::filesystem::path parent =
      std::filesystem::path(path).parent_path();
  if (!parent.empty()) MakeDirs(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The type and permission bits of `path` itself (a link is not followed).
inline mode_t ModeOf(const std::string& path) {
  struct stat st;
  ::lstat(path.c_str(), &st);
  return st.st_mode;
}

inline mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// Makes `path` the working directory for its lifetime, then puts the old one
// back.
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& path)
      : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingDir() { std::filesystem::current_path(old_); }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path old_;
};

// `text` with its first `mark` replaced by `value`: how case tables name paths
// that exist only once the test runs.
inline std::string ReplaceFirst(std::string text, std::string_view mark,
                                std::string_view value) {
  if (size_t at = text.find(mark); at != std::string::npos)
    text.replace(at, mark.size(), value);
  return text;
}

// What a process reported: its exit status (-1 when it could not run or did
// not exit normally) and its output.
struct ProcessOutput {
  int status;
  std::string output;
};

// Runs `body` in a forked child, for what must not touch the test process
// (resource limits, a changed user). The child writes the text `body` returns
// and exits with 0; `body` may end the child itself with another status.
inline ProcessOutput RunInChild(const std::function<std::string()>& body) {
  ProcessOutput result{-1, {}};
  int fds[2];
  if (::pipe(fds) != 0) return result;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const std::string text = body();
    ssize_t written = ::write(fds[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 3);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return result;
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    result.output.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  return result;
}

// Holds every descriptor the process may still open but `spare`, under a low
// limit, until released.
class DescriptorHog {
 public:
  explicit DescriptorHog(int spare) {
    struct rlimit limit{64, 64};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) limit.rlim_cur = 64;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
      held_.push_back(fd);
    for (int i = 0; i < spare && !held_.empty(); ++i) Close();
  }
  ~DescriptorHog() { Release(); }
  void Release() {
    while (!held_.empty()) Close();
  }

 private:
  void Close() {
    ::close(held_.back());
    held_.pop_back();
  }
  std::vector<int> held_;
};

// The line rule, written plainly: split at "\n", drop one "\r" before it, no
// line after a final "\n".
inline std::vector<std::string> ModelLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t newline = content.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    std::string line = content.substr(start, newline - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = newline + 1;
  }
  return lines;
}

// `bytes` with everything outside printable ASCII as "\xNN", for messages.
inline std::string Escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace tolvane::testing
