// The platform layer's change-notification calls: an inotify instance and its
// watches, an eventfd to wake a waiting thread, and poll(2). Errors are
// rendered as in fs/sys/file.h. Thread-safe; descriptors are owned through
// UniqueFd.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>

#include "fs/error/fs_error.h"
#include "fs/sys/file.h"

namespace tolvane::sys {

// inotify_init1(2), non-blocking and close-on-exec.
[[nodiscard]] Result<UniqueFd> InotifyInit();
// inotify_add_watch(2): the watch descriptor of `path` (the same one again for
// a directory already watched).
[[nodiscard]] Result<int> InotifyAddWatch(int fd, const std::string& path,
                                          uint32_t mask);
// inotify_rm_watch(2); the result is ignored (the watch may be gone already).
void InotifyRemoveWatch(int fd, int wd);

// Whether the file system of `path` is one known to give a directory one link
// per subdirectory beside its name and ".", so that a directory with two has
// none (ext2/3/4, XFS, tmpfs; btrfs and overlayfs don't). False on failure.
bool DirLinksCountSubdirs(const std::string& path);

// eventfd(2), non-blocking and close-on-exec, and the write that makes it
// readable (a full counter is readable already, so a failure is ignored).
[[nodiscard]] Result<UniqueFd> EventFd();
void SignalEventFd(int fd);

// poll(2) for the descriptors in `fds`, at most `timeout_ms` (-1: no limit).
// An interrupted wait returns 0, like a timeout; the caller looks again.
[[nodiscard]] Result<int> Poll(struct pollfd* fds, nfds_t count,
                               int timeout_ms);

}  // namespace tolvane::sys
