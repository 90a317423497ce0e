#include "fs/io/write_atomic.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "fs/io/quote_path.h"
#include "fs/path/path.h"
#include "fs/sys/file.h"

namespace tolvane::io {
namespace {

constexpr char kNameChars[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr uint32_t kNameCharCount = sizeof kNameChars - 1;
constexpr int kNameLength = 6;
constexpr int kMaxAttempts = 65536;
// Three taken names in a row suggest another process drew the same sequence:
// reseed.
constexpr int kReseedAttempt = 3;

// wyrand: a small, fast generator with a 64-bit state.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    state_ += 0xa0761d6478bd642fULL;
    __uint128_t t =
        static_cast<__uint128_t>(state_) * (state_ ^ 0xe7037ed1a0b428dbULL);
    return static_cast<uint64_t>(t >> 64) ^ static_cast<uint64_t>(t);
  }

  // Uniform in [0, bound): multiply and keep the high half, rejecting the
  // biased low values.
  uint32_t Below(uint32_t bound) {
    const uint32_t threshold = static_cast<uint32_t>(-bound) % bound;
    for (;;) {
      uint64_t product =
          static_cast<uint64_t>(static_cast<uint32_t>(Next())) * bound;
      if (static_cast<uint32_t>(product) >= threshold)
        return static_cast<uint32_t>(product >> 32);
    }
  }

 private:
  uint64_t state_;
};

uint64_t ThreadSeed() {
  uint64_t seed;
  if (sys::GetEntropy(&seed, sizeof seed)) return seed;
  return std::hash<std::thread::id>{}(std::this_thread::get_id()) ^
         static_cast<uint64_t>(
             std::chrono::steady_clock::now().time_since_epoch().count());
}

// Each call derives its own generator from the thread's state, which advances
// by one draw.
Rng CallRng() {
  thread_local Rng thread_rng(ThreadSeed());
  return Rng(thread_rng.Next());
}

std::string JoinPath(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

FsError PathError(const std::string& text, const std::string& path) {
  return FsError::Io(IoError::Message(text + " at path " + QuotePath(path)));
}

// The temporary file until the rename: released before it, it is removed, then
// closed.
class TempFile {
 public:
  TempFile(std::string path, sys::UniqueFd fd)
      : path_(std::move(path)), fd_(std::move(fd)) {}
  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)),
        fd_(std::move(other.fd_)),
        kept_(other.kept_) {
    other.kept_ = true;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    if (!kept_) sys::RemoveFile(path_);
  }

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  sys::UniqueFd fd_;
  bool kept_ = false;
};

Result<TempFile> CreateTempFile(const std::string& dir) {
  Rng rng = CallRng();
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (attempt == kReseedAttempt) {
      uint64_t seed;
      if (sys::GetEntropy(&seed, sizeof seed)) rng = Rng(seed);
    }
    char name[4 + kNameLength] = {'.', 't', 'm', 'p'};
    for (int i = 0; i < kNameLength; ++i)
      name[4 + i] = kNameChars[rng.Below(kNameCharCount)];
    std::string path = JoinPath(dir, std::string_view(name, sizeof name));
    int fd = sys::OpenRaw(path, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) return TempFile(std::move(path), sys::UniqueFd(fd));
    if (errno == EEXIST || errno == EADDRINUSE) continue;
    return Fail(PathError(IoError::Last().text(), path));
  }
  return Fail(PathError("too many temporary files exist", dir));
}

// A regular file being replaced passes its permission bits on (set-id and
// sticky bits aside: the new file belongs to the caller). A new file keeps 0600
// less the umask. Best effort: a file system that refuses the change still
// gets the content.
void KeepMode(const std::string& target, int fd) {
  auto st = sys::Stat(target);
  if (st && S_ISREG(st->st_mode)) (void)sys::Fchmod(fd, st->st_mode & 0777);
}

// Makes the rename durable where the directory can be flushed. The rename has
// committed the write by then: a directory that can't be opened or flushed
// (EINVAL, ENOTSUP and EROFS from FUSE, 9p and network mounts) leaves it as it
// stands and is not reported.
void SyncDirectory(const std::string& dir) {
  int fd = sys::OpenRaw(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  sys::UniqueFd owned(fd);
  (void)sys::Fsync(owned.get());
}

// The directory that holds the entry `path`; "." for a single relative
// component.
std::string Holder(const std::string& path) {
  Parent parent = ParentOf(path);
  return parent.has_parent && !parent.path.empty() ? std::move(parent.path)
                                                   : ".";
}

}  // namespace

Status write_atomic(const std::string& target, std::string_view content) {
  Parent parent = ParentOf(target);
  std::string dir = parent.has_parent ? std::move(parent.path) : ".";
  std::vector<std::string> made;  // directories created for the target
  if (!sys::Stat(dir)) {
    if (auto created = sys::CreateDirAll(dir, &made); !created) return created;
  }
  if (dir.empty() || dir.front() != '/') {
    auto cwd = sys::GetCwd();
    if (!cwd) return Fail(std::move(cwd.error()));
    dir = JoinPath(*cwd, dir);
  }

  auto temp = CreateTempFile(dir);
  if (!temp) return Fail(std::move(temp.error()));
  if (auto written = sys::WriteAll(temp->fd(), content); !written) {
    return Fail(PathError(written.error().payload(), temp->path()));
  }
  KeepMode(target, temp->fd());
  if (auto synced = sys::Fsync(temp->fd()); !synced) return synced;
  if (auto renamed = sys::Rename(temp->path(), target); !renamed) {
    return Fail(FsError::Io(IoError::Message(
        "Failed to persist file: failed to persist temporary file: " +
        renamed.error().payload())));
  }
  temp->Keep();
  SyncDirectory(dir);
  // A directory made here is an entry of its parent, which is flushed too.
  for (auto created = made.rbegin(); created != made.rend(); ++created)
    SyncDirectory(Holder(*created));
  return {};
}

}  // namespace tolvane::io
