// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the writers of a versioned pool, each known by a slot it
// holds through a lock that the kernel drops when the writer dies, so that a
// reader tells a dead writer from a slow one without trusting any pid.

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "names/mapping.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

namespace {

// Below the attachers' locks (attach/attach_locks.hpp), far past any segment.
constexpr off_t kWriterLockBase = off_t{1} << 39;

struct Claim {
  const PoolHeader* hdr = nullptr;
  int fd = -1;
  pid_t pid = 0;
  uint64_t stamp = 0;
};
Claim g_claim;  // guarded by g_control
// The claim as the lock-free liveness test reads it: of one segment (a pool
// mapped later may hand out the same stamp) and one process (a forked child
// claims its own).
std::atomic<uint64_t> g_own_stamp{0};
std::atomic<pid_t> g_own_pid{0};
std::atomic<dev_t> g_own_dev{0};
std::atomic<ino_t> g_own_ino{0};

// The claim again, for the writer's own calls: the stamp of the mapping of
// epoch g_stamp_epoch (0: none), which a forked child forgets, so that it
// claims a slot of its own rather than write under its parent's.
std::atomic<uint64_t> g_stamp_epoch{0};
std::atomic<uint64_t> g_stamp{0};

void forget_in_child() { g_stamp_epoch.store(0, std::memory_order_relaxed); }
[[maybe_unused]] const int g_forget_registered = pthread_atfork(nullptr, nullptr, forget_in_child);

bool own_claim(uint64_t stamp) {
  return g_own_pid.load(std::memory_order_acquire) == getpid() &&
         stamp == g_own_stamp.load(std::memory_order_relaxed) &&
         g_own_dev.load(std::memory_order_relaxed) == g_mapping.id.dev &&
         g_own_ino.load(std::memory_order_relaxed) == g_mapping.id.ino;
}

bool lock_slot(int fd, uint32_t slot) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kWriterLockBase + slot;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Under g_control, for the mapping of `epoch`, which the caller read before
// taking the lock: when it changed since, the next call claims again.
void remember(uint64_t stamp, uint64_t epoch) {
  g_stamp_epoch.store(0, std::memory_order_relaxed);
  g_stamp.store(stamp, std::memory_order_release);
  g_stamp_epoch.store(epoch, std::memory_order_release);
}

// writer_stamp's first call for a mapping, out of the path of the others.
__attribute__((noinline)) uint64_t claim_stamp(PoolHeader* hdr, uint64_t epoch) {
  std::lock_guard<std::mutex> guard(g_control);
  // A follower's mapping promised to write nothing: no slot, so no write.
  if (g_mapping.follower) {
    errno = EPERM;
    return 0;
  }
  // A claim lives as long as the descriptor that holds its lock: a new
  // mapping, or a child that forked, claims again.
  if (g_claim.hdr == hdr && g_claim.fd == g_mapping.fd && own_claim(g_claim.stamp)) {
    remember(g_claim.stamp, epoch);
    return g_claim.stamp;
  }
  VersionState& state = version_state(hdr);
  for (uint32_t slot = 0; slot < kWriterSlots; ++slot) {
    if (!lock_slot(g_mapping.fd, slot)) continue;
    // The new generation tells readers that the slot's earlier writer is gone.
    const uint64_t generation = state.generation[slot].fetch_add(1, std::memory_order_acq_rel) + 1;
    state.pid[slot].store(static_cast<int32_t>(getpid()), std::memory_order_relaxed);
    g_claim = {hdr, g_mapping.fd, getpid(), slot | generation << kSlotBits};
    g_own_pid.store(0, std::memory_order_relaxed);
    g_own_stamp.store(g_claim.stamp, std::memory_order_relaxed);
    g_own_dev.store(g_mapping.id.dev, std::memory_order_relaxed);
    g_own_ino.store(g_mapping.id.ino, std::memory_order_relaxed);
    g_own_pid.store(g_claim.pid, std::memory_order_release);
    remember(g_claim.stamp, epoch);
    return g_claim.stamp;
  }
  errno = EAGAIN;
  return 0;
}

}  // namespace

uint64_t writer_stamp(PoolHeader* hdr) {
  const uint64_t epoch = g_mapping_epoch.load(std::memory_order_acquire);
  // The stamp is stored before its epoch: one that names this mapping's epoch
  // was remembered for it.
  if (g_stamp_epoch.load(std::memory_order_acquire) == epoch) {
    return g_stamp.load(std::memory_order_relaxed);
  }
  return claim_stamp(hdr, epoch);
}

bool writer_is_self(uint64_t stamp) { return stamp != 0 && own_claim(stamp); }

bool writer_alive(PoolHeader* hdr, uint64_t stamp) {
  if (stamp == 0) return false;
  if (own_claim(stamp)) return true;
  const uint64_t slot = stamp & ((uint64_t{1} << kSlotBits) - 1);
  if (slot >= kWriterSlots) return false;  // hostile bytes: no writer holds such a slot
  if (version_state(hdr).generation[slot].load(std::memory_order_acquire) != stamp >> kSlotBits) {
    return false;  // claimed again since: its writer was gone
  }
  return slot_held(g_mapping.fd, static_cast<uint32_t>(slot));
}

bool slot_held(int fd, uint32_t slot) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kWriterLockBase + static_cast<off_t>(slot);
  lock.l_len = 1;
  // A failing query cannot tell: the writer counts as alive, and a reader
  // gets EBUSY past the bound rather than a false death.
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

}  // namespace zim_sim
