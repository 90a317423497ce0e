#include "fs/sys/notify.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

#include <cerrno>

namespace tolvane::sys {

Result<UniqueFd> InotifyInit() {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

Result<int> InotifyAddWatch(int fd, const std::string& path, uint32_t mask) {
  if (HasNul(path)) return Fail(FsError::Io(IoError::Message(kNulInPathText)));
  int wd = ::inotify_add_watch(fd, path.c_str(), mask);
  if (wd < 0) return Fail(LastError());
  return wd;
}

void InotifyRemoveWatch(int fd, int wd) { ::inotify_rm_watch(fd, wd); }

bool DirLinksCountSubdirs(const std::string& path) {
  constexpr long kExt = 0xEF53, kXfs = 0x58465342, kTmpfs = 0x01021994;
  struct statfs info;
  if (HasNul(path) || ::statfs(path.c_str(), &info) != 0) return false;
  return info.f_type == kExt || info.f_type == kXfs || info.f_type == kTmpfs;
}

Result<UniqueFd> EventFd() {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return Fail(LastError());
  return UniqueFd(fd);
}

void SignalEventFd(int fd) {
  const uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

Result<int> Poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  int ready = ::poll(fds, count, timeout_ms);
  if (ready >= 0) return ready;
  if (errno == EINTR) return 0;
  return Fail(LastError());
}

}  // namespace tolvane::sys
