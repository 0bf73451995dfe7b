// SPDX-License-Identifier: Apache-2.0
// Who maps the pool besides its owner (attach_locks.cpp). Internal: nothing
// here is exported.
#ifndef ZIM_SIM_SRC_ATTACH_ATTACH_LOCKS_HPP
#define ZIM_SIM_SRC_ATTACH_ATTACH_LOCKS_HPP

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace zim_sim {

// Every attacher holds a shared open-file-description lock on one byte of the
// segment, far past its end, that names the epoch it attached in
// (PoolHeader::epoch) and its pid, on a descriptor it keeps open while it
// maps the pool: the kernel drops the lock when the process is gone, however
// it ends. Nobody holds any other lock on these bytes, so taking or moving one
// never waits.
constexpr off_t kAttachLockBase = off_t{1} << 40;
constexpr unsigned kAttachPidBits = 22;  // the kernel's pids stay below 2^22

constexpr off_t attach_lock_offset(uint32_t epoch, pid_t pid) {
  return kAttachLockBase + (off_t{epoch} << kAttachPidBits) + pid;
}

// Takes this process's lock of `epoch` on fd; false with errno.
bool lock_attach(int fd, uint32_t epoch);

// Moves this process's lock on fd from epoch `from` to `to` (taking the new
// one first); false with errno, the old lock kept.
bool move_attach_lock(int fd, uint32_t from, uint32_t to);

// The pids, ascending, that hold attach locks of the segment open on fd in
// epochs before `epoch`, other than through fd's own open file description.
// A lock that is not one byte (no attacher takes one) counts as the pid its
// first byte names. Empty on failure, with errno set; errno is 0 otherwise.
std::vector<pid_t> attached_before(int fd, uint32_t epoch);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_ATTACH_ATTACH_LOCKS_HPP
