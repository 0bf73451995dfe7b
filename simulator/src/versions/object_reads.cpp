// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what the type headers' snapshots and accessors reach of a
// versioned pool (zim/tables/versions.h; names/mapping.cpp mirrors the
// mapping's span): a snapshot's try at a whole version and whether this process's write of an
// object is open. A snapshot copies inline and checks its try itself: an acquire fence, then the
// version word again.
//
// Bounds: a try's bytes are the object's block size as its header gives it,
// cut to the mapping's start map, so that a snapshot reads inside the pool
// whatever the object's bytes and the block header say.

#include <sched.h>
#include <time.h>
#include <zim/tables/versions.h>

#include <cerrno>

#include "versions/versions.hpp"

namespace zim_sim {

namespace {

constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelaxed = std::memory_order_relaxed;
// Tries a snapshot makes before the bound can end it: a reader stopped in
// the middle of a copy for longer than the bound still gets another.
constexpr uint32_t kTriesBeforeBound = 8;

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

int refuse(int err) {
  errno = err;
  return -1;
}

// The mapped versioned pool's line of obj, from the span that the mapping
// publishes (no lock, no call), with the block's bytes cut at the start map;
// null when obj is not a live object there.
VersionLine* checked_line(const void* obj, uint64_t* bytes) {
  const uintptr_t begin = __atomic_load_n(&zim_tables_versioned_span.begin, __ATOMIC_RELAXED);
  const uint64_t size = __atomic_load_n(&zim_tables_versioned_span.bytes, __ATOMIC_RELAXED);
  const uint64_t offset = reinterpret_cast<uintptr_t>(obj) - begin;
  if (offset >= size) return nullptr;  // also no versioned pool mapped: size 0
  auto* hdr = reinterpret_cast<PoolHeader*>(begin);
  VersionLine* line = line_at(hdr, size, offset);
  if (line == nullptr) return nullptr;
  const uint64_t room = start_map_offset(size) - offset;
  const uint64_t block = block_header_at(hdr, offset - ZIM_SHM_POOL_ALIGN).size.load(kRelaxed);
  *bytes = block < room ? block : room;
  return line;
}

// A try after the first: from the ninth on, a bound on the retries.
int pace_retry(zim_tables_line_read_t* read) {
  if (read->tries <= kTriesBeforeBound) return 0;
  const uint64_t now = now_ns();
  if (read->deadline_ns == 0) {
    read->deadline_ns = now + uint64_t{ZIM_SHM_POOL_WRITE_BOUND_US} * 1000u;
  } else if (now >= read->deadline_ns) {
    return refuse(EBUSY);  // changes kept coming for every try
  }
  sched_yield();
  return 0;
}

}  // namespace

}  // namespace zim_sim

extern "C" ZIM_SIM_API int zim_tables_line_begin(const void* obj, zim_tables_line_read_t* read) {
  uint64_t bytes = 0;
  zim_sim::VersionLine* line = zim_sim::checked_line(obj, &bytes);
  if (line == nullptr) return zim_sim::refuse(EINVAL);
  if (read->tries++ != 0 && zim_sim::pace_retry(read) != 0) return -1;
  uint64_t version = line->version.load(zim_sim::kAcquire);
  // A write under way: read_begin tells a dead writer from a slow one.
  if ((version & 1) != 0 && zim_shm_pool_read_begin(obj, &version) != 0) return -1;
  read->version_at = reinterpret_cast<const uint64_t*>(&line->version);
  read->version = version;
  read->bytes = bytes;
  return 0;
}

extern "C" ZIM_SIM_API int zim_tables_write_is_open(const void* obj) {
  uint64_t bytes = 0;
  const zim_sim::VersionLine* line = zim_sim::checked_line(obj, &bytes);
  if (line == nullptr || (line->version.load(zim_sim::kAcquire) & 1) == 0) return 0;
  return zim_sim::writer_is_self(line->writer.load(zim_sim::kRelaxed)) ? 1 : 0;
}
