// SPDX-License-Identifier: Apache-2.0
// libzim_memory: a versioned pool with one writer. The claim is the holder's
// writer stamp in VersionState::sole_writer; it lives exactly as long as the
// holder's writer slot, whose lock the kernel drops when the holder dies or
// unmaps the pool, so a claim never outlives its holder and no pid is
// trusted. Claims are taken under the pool's lock, so that an allocation,
// which checks the claim under the same lock, is either before a claim or
// refused by it.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "names/names.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

bool writes_refused(PoolHeader* hdr, uint64_t me) {
  std::atomic<uint64_t>& word = version_state(hdr).sole_writer;
  uint64_t holder = word.load(std::memory_order_acquire);
  if (holder == 0 || holder == me) return false;
  if (writer_alive(hdr, holder)) return true;
  // A dead holder's claim: cleared so that writers' usual path sees none. A
  // claimer that replaced it meanwhile keeps its own.
  word.compare_exchange_strong(holder, 0, std::memory_order_acq_rel);
  ZIM_POOL_KILL_POINT();
  return false;
}

}  // namespace zim_sim

namespace {

using zim_sim::VersionState;

// The holder's words of a VersionState as the file holds them.
struct HolderWords {
  uint64_t stamp = 0, generation = 0;
  int32_t pid = 0;
};

// 1 and the words of a live holder, 0 for none, -1 with errno.
int read_holder(int fd, HolderWords* words) {
  constexpr uint64_t base = zim_sim::kVersionStateOffset;
  uint64_t magic = 0;
  if (!zim_sim::read_at(fd, &magic, sizeof magic, base + offsetof(VersionState, magic)) ||
      !zim_sim::read_at(fd, &words->stamp, sizeof words->stamp,
                        base + offsetof(VersionState, sole_writer))) {
    return -1;
  }
  if (magic != zim_sim::kVersionsMagic) return errno = EINVAL, -1;
  const uint64_t slot = words->stamp & ((uint64_t{1} << zim_sim::kSlotBits) - 1);
  if (words->stamp == 0 || slot >= zim_sim::kWriterSlots) return 0;  // hostile bytes: no holder
  if (!zim_sim::read_at(fd, &words->generation, sizeof words->generation,
                        base + offsetof(VersionState, generation) + slot * sizeof(uint64_t)) ||
      !zim_sim::read_at(fd, &words->pid, sizeof words->pid,
                        base + offsetof(VersionState, pid) + slot * sizeof(int32_t))) {
    return -1;
  }
  if (words->generation != words->stamp >> zim_sim::kSlotBits) return 0;  // claimed again since
  return zim_sim::slot_held(fd, static_cast<uint32_t>(slot)) ? 1 : 0;
}

int refuse(int err) {
  errno = err;
  return -1;
}

}  // namespace

extern "C" ZIM_SIM_API int zim_shm_pool_claim_writes(void) {
  zim_sim::PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || !zim_sim::is_versioned(hdr)) return refuse(EINVAL);
  // Before the pool's lock, which claiming a writer slot must precede.
  const uint64_t me = zim_sim::writer_stamp(hdr);
  if (me == 0) return -1;
  zim_sim::PoolLock lock(hdr);
  std::atomic<uint64_t>& word = zim_sim::version_state(hdr).sole_writer;
  uint64_t holder = word.load(std::memory_order_acquire);
  // One store: a claimer killed on either side of it leaves the old claim or
  // its own, which dies with it. Only a writer that clears a dead holder's
  // claim changes the word meanwhile.
  do {
    if (holder == me) return 0;
    if (holder != 0 && zim_sim::writer_alive(hdr, holder)) return refuse(EBUSY);
  } while (!word.compare_exchange_weak(holder, me, std::memory_order_acq_rel));
  ZIM_POOL_KILL_POINT();
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_writes_holder(const char* name, pid_t* holder) {
  if (holder == nullptr || !zim_sim::valid_pool_name(name)) return refuse(EINVAL);
  *holder = 0;
  const int fd = shm_open(name, O_RDONLY | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  zim_sim::HeaderFacts facts;
  HolderWords words;
  int rc = 0;
  if (!zim_sim::read_header_facts(fd, &facts)) {
    rc = -1;
  } else if (facts.magic != zim_sim::kPoolMagic) {
    rc = refuse(EINVAL);
  } else if (facts.version == zim_sim::kVersionedPoolVersion) {
    rc = read_holder(fd, &words);
  }
  if (rc == 1) *holder = words.pid;
  const int err = errno;
  close(fd);
  errno = err;
  return rc;
}
