// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the attachers' locks, through which a migration learns who
// attached before the pool's owner adopted it.

#include "attach/attach_locks.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace zim_sim {

namespace {

bool set_lock(int fd, short type, off_t at) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = at;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

bool lock_attach(int fd, uint32_t epoch) {
  return set_lock(fd, F_RDLCK, attach_lock_offset(epoch, getpid()));
}

bool move_attach_lock(int fd, uint32_t from, uint32_t to) {
  return from == to ||
         (lock_attach(fd, to) && set_lock(fd, F_UNLCK, attach_lock_offset(from, getpid())));
}

// F_OFD_GETLK names one lock that overlaps the range asked about, not
// necessarily the first: each found lock splits what is left to ask about in
// two, so n locks take 2n + 1 calls.
std::vector<pid_t> attached_before(int fd, uint32_t epoch) {
  std::vector<pid_t> pids;
  std::vector<std::pair<off_t, off_t>> ranges;  // [from, to) still to ask about
  if (epoch > 0) ranges.emplace_back(kAttachLockBase, attach_lock_offset(epoch, 0));
  while (!ranges.empty()) {
    const auto [from, to] = ranges.back();
    ranges.pop_back();
    struct flock lock = {};
    lock.l_type = F_WRLCK;  // conflicts with every lock there
    lock.l_whence = SEEK_SET;
    lock.l_start = from;
    lock.l_len = to - from;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return {};
    if (lock.l_type == F_UNLCK) continue;
    // Held bytes outside [from, to) are not asked about again.
    const off_t start = std::max(lock.l_start, from);
    const off_t end =
        lock.l_len == 0 || lock.l_len > to - lock.l_start ? to : lock.l_start + lock.l_len;
    pids.push_back(
        static_cast<pid_t>((start - kAttachLockBase) & ((off_t{1} << kAttachPidBits) - 1)));
    if (from < start) ranges.emplace_back(from, start);
    if (end < to) ranges.emplace_back(end, to);
  }
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  errno = 0;
  return pids;
}

}  // namespace zim_sim
