// SPDX-License-Identifier: Apache-2.0
// libzim_memory: the version line of an object and the brackets around its
// writes and its readers' copies.
//
// Memory orders: the writer makes the version odd with a compare-and-swap
// and then a release fence, so that no store to the object is seen before
// the odd version; it makes it even with a release store after its last one.
// A reader loads the version with acquire before its copy and, after an
// acquire fence, again after it: equal and even, no store of a write was
// seen by the copy. The writer's stamp is stored before the odd version
// (released by it), so a reader that sees the odd version sees who writes.

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "names/mapping.hpp"
#include "names/names.hpp"
#include "versions/pool_view.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

namespace {

constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelaxed = std::memory_order_relaxed;

int refuse(int err) {
  errno = err;
  return -1;
}

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Inlined into the brackets, which run it at every change.
__attribute__((always_inline)) inline LineLookup lookup(PoolHeader* hdr, const void* obj) {
  const uint64_t size = g_pool_size.load(kRelaxed);  // this process's mapping, not the header's
  const auto* base = reinterpret_cast<const char*>(hdr);
  const auto* at = static_cast<const char*>(obj);
  if (at < base || static_cast<uint64_t>(at - base) >= size) return {nullptr, false};
  const uint64_t offset = static_cast<uint64_t>(at - base);
  VersionLine* line = line_at(hdr, size, offset);
  // A block handed out starts here: the headers line_at read are the allocator's.
  if (line != nullptr && (start_word(hdr, size, offset).load(kRelaxed) & start_bit(offset)) == 0) {
    line = nullptr;
  }
  return {line, true};
}

// The mapped versioned pool's line of obj, returned by value (no local's
// address taken on the brackets' path); line null with code: 0 for an object
// without a version (heap, or a pool that is not versioned), -1 (EINVAL) for
// an address in a versioned pool that is not a live object.
struct Found {
  VersionLine* line;
  PoolHeader* hdr;
  int code;
};

__attribute__((always_inline)) inline Found find_line(const void* obj) {
  PoolHeader* hdr = mapped_pool();
  if (hdr == nullptr || !is_versioned(hdr)) return {nullptr, hdr, 0};
  const LineLookup found = lookup(hdr, obj);
  if (found.line == nullptr && found.in_pool) return {nullptr, hdr, refuse(EINVAL)};
  return {found.line, hdr, 0};
}

}  // namespace

VersionLine* line_of(PoolHeader* hdr, const void* obj, bool* in_pool) {
  const LineLookup found = lookup(hdr, obj);
  *in_pool = found.in_pool;
  return found.line;
}

LineLookup lookup_line(PoolHeader* hdr, const void* obj) { return lookup(hdr, obj); }

uint32_t object_table_id(PoolHeader* hdr, const void* obj) {
  const uint64_t offset =
      static_cast<uint64_t>(static_cast<const char*>(obj) - reinterpret_cast<const char*>(hdr));
  return static_cast<uint32_t>(
      block_header_at(hdr, offset - ZIM_SHM_POOL_ALIGN).tag.load(kAcquire) >> 32);
}

void fill_new_line(PoolHeader* hdr, uint64_t at, uint64_t stamp, uint64_t pool_id) {
  VersionState& state = version_state(hdr);
  // Drawn (or raised past a given id) under the pool's lock and never given
  // back, even when the allocation is undone: a drawn id is never used twice.
  if (pool_id == 0) {
    // A load and a store, not a locked add: the lock keeps other drawers out.
    pool_id = state.next_pool_id.load(kRelaxed) + 1;
    state.next_pool_id.store(pool_id, kRelaxed);
  } else if (pool_id < ZIM_SHM_POOL_LOCAL_IDS && state.next_pool_id.load(kRelaxed) < pool_id) {
    state.next_pool_id.store(pool_id, kRelaxed);
  }
  const uint64_t words[4] = {1, pool_id, stamp, 0};  // under way until its first write_end
  fill(reinterpret_cast<char*>(hdr) + at, words, sizeof words);
}

}  // namespace zim_sim

using zim_sim::PoolHeader;
using zim_sim::VersionLine;

extern "C" ZIM_SIM_API int zim_shm_pool_is_versioned(void) {
  const PoolHeader* hdr = zim_sim::mapped_pool();
  return hdr != nullptr && zim_sim::is_versioned(hdr) ? 1 : 0;
}

// The fast path in bracket_fast.cpp comes here for every case but the usual.
__attribute__((noinline, cold)) int zim_sim::write_begin_checked(void* obj) {
  const zim_sim::Found found = zim_sim::find_line(obj);
  VersionLine* const line = found.line;
  PoolHeader* const hdr = found.hdr;
  if (line == nullptr) return found.code;
  // Only a writer of the pool's objects claims a slot: brackets around
  // copies on the heap claim none.
  zim_sim::prepare_pool_view(true);
  const uint64_t me = zim_sim::writer_stamp(hdr);
  if (me == 0) return -1;
  if (zim_sim::writes_refused(hdr, me)) return zim_sim::refuse(EPERM);
  uint64_t version = line->version.load(zim_sim::kAcquire);
  if (version & 1) {
    uint64_t writer = line->writer.load(zim_sim::kAcquire);
    if (writer == me || zim_sim::writer_alive(hdr, writer)) return zim_sim::refuse(EBUSY);
    // Its writer died inside the write: of several takers, one wins.
    if (!line->writer.compare_exchange_strong(writer, me, std::memory_order_acq_rel)) {
      return zim_sim::refuse(EBUSY);
    }
    ZIM_POOL_KILL_POINT();
    std::atomic_thread_fence(std::memory_order_release);
    return 1;
  }
  line->writer.store(me, zim_sim::kRelaxed);
  ZIM_POOL_KILL_POINT();
  if (!line->version.compare_exchange_strong(version, version | 1, std::memory_order_release,
                                             zim_sim::kRelaxed)) {
    return zim_sim::refuse(EBUSY);  // another thread of this process began first
  }
  ZIM_POOL_KILL_POINT();
  std::atomic_thread_fence(std::memory_order_release);
  return 0;
}

__attribute__((noinline, cold)) int zim_sim::write_end_checked(void* obj) {
  const zim_sim::Found found = zim_sim::find_line(obj);
  VersionLine* const line = found.line;
  PoolHeader* const hdr = found.hdr;
  if (line == nullptr) return found.code;
  // Only a writer of the pool's objects claims a slot: brackets around
  // copies on the heap claim none.
  zim_sim::prepare_pool_view(true);
  if ((line->version.load(zim_sim::kRelaxed) & 1) == 0) return zim_sim::refuse(EINVAL);
  const uint64_t me = zim_sim::writer_stamp(hdr);
  if (me == 0) return -1;
  if (line->writer.load(zim_sim::kRelaxed) != me || zim_sim::writes_refused(hdr, me)) {
    return zim_sim::refuse(EPERM);
  }
  const zim_sim::PoolRooms* rooms = zim_sim::checked_rooms(hdr);
  if (rooms == nullptr) return -1;
  // Drawn before the version changes: a death from here on leaves the
  // sequence claimed by a dead writer, which followers read as lost at once.
  const uint64_t sequence = zim_sim::feed_draw(rooms->feed, zim_sim::appender_token(me));
  if (sequence == 0) return zim_sim::refuse(EOVERFLOW);
  const bool first = line->version.load(zim_sim::kRelaxed) == 1;  // as allocated
  line->version.store(2 * sequence, std::memory_order_release);
  ZIM_POOL_KILL_POINT();
  zim_sim::FeedEntry entry{};
  entry.kind = first ? zim_sim::FeedKind::created : zim_sim::FeedKind::changed;
  entry.table_id = zim_sim::object_table_id(hdr, obj);
  entry.offset = static_cast<uint64_t>(static_cast<char*>(obj) - reinterpret_cast<char*>(hdr));
  entry.pool_id = line->pool_id.load(zim_sim::kRelaxed);
  zim_sim::feed_publish(rooms->feed, sequence, entry);
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_read_begin(const void* obj, uint64_t* version) {
  const zim_sim::Found found = zim_sim::find_line(obj);
  const VersionLine* const line = found.line;
  PoolHeader* const hdr = found.hdr;
  if (version != nullptr) *version = 0;
  if (line == nullptr) return found.code;
  if (version == nullptr) return zim_sim::refuse(EINVAL);
  uint64_t v = line->version.load(zim_sim::kAcquire);
  if ((v & 1) == 0) return *version = v, 0;
  // A write under way: a dead writer's stays torn, a live one's should end soon.
  if (!zim_sim::writer_alive(hdr, line->writer.load(zim_sim::kAcquire))) {
    return zim_sim::refuse(EOWNERDEAD);
  }
  const uint64_t deadline = zim_sim::now_ns() + uint64_t{ZIM_SHM_POOL_WRITE_BOUND_US} * 1000u;
  while (((v = line->version.load(zim_sim::kAcquire)) & 1) != 0) {
    if (zim_sim::now_ns() >= deadline) {
      const bool alive = zim_sim::writer_alive(hdr, line->writer.load(zim_sim::kAcquire));
      return zim_sim::refuse(alive ? EBUSY : EOWNERDEAD);
    }
    sched_yield();
  }
  *version = v;
  return 0;
}

extern "C" ZIM_SIM_API int zim_shm_pool_read_end(const void* obj, uint64_t version) {
  const zim_sim::Found found = zim_sim::find_line(obj);
  const VersionLine* const line = found.line;
  if (line == nullptr) return found.code;
  std::atomic_thread_fence(std::memory_order_acquire);
  return line->version.load(zim_sim::kRelaxed) == version ? 0 : zim_sim::refuse(EAGAIN);
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_version_of(const void* obj) {
  const VersionLine* const line = zim_sim::find_line(obj).line;
  return line != nullptr ? line->version.load(zim_sim::kAcquire) : 0;
}

extern "C" ZIM_SIM_API uint64_t zim_shm_pool_id_of(const void* obj) {
  const VersionLine* const line = zim_sim::find_line(obj).line;
  return line != nullptr ? line->pool_id.load(zim_sim::kRelaxed) : 0;
}

extern "C" ZIM_SIM_API pid_t zim_shm_pool_writer_of(const void* obj) {
  const zim_sim::Found found = zim_sim::find_line(obj);
  const VersionLine* const line = found.line;
  PoolHeader* const hdr = found.hdr;
  if (line == nullptr || (line->version.load(zim_sim::kAcquire) & 1) == 0) return 0;
  const uint64_t slot = line->writer.load(zim_sim::kAcquire) & ((1u << zim_sim::kSlotBits) - 1);
  if (slot >= zim_sim::kWriterSlots) return 0;
  return zim_sim::version_state(hdr).pid[slot].load(zim_sim::kRelaxed);
}
