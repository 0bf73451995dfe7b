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

#include "names/mapping.hpp"
#include "names/names.hpp"
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

// The versioned pool's line of obj, with the block's bytes bounded by the
// mapping; null when obj is not a live object of the mapped versioned pool.
VersionLine* checked_line(const void* obj, PoolHeader** pool, uint64_t* bytes) {
  PoolHeader* hdr = mapped_pool();
  if (hdr == nullptr || !is_versioned(hdr)) return nullptr;
  bool in_pool = false;
  VersionLine* line = line_of(hdr, obj, &in_pool);
  if (line == nullptr) return nullptr;
  const uint64_t offset =
      static_cast<uint64_t>(static_cast<const char*>(obj) - reinterpret_cast<const char*>(hdr));
  const uint64_t room = start_map_offset(g_pool_size.load(kRelaxed)) - offset;
  const uint64_t size = block_header_at(hdr, offset - ZIM_SHM_POOL_ALIGN).size.load(kRelaxed);
  *bytes = size < room ? size : room;
  *pool = hdr;
  return line;
}

}  // namespace

}  // namespace zim_sim

extern "C" ZIM_SIM_API int zim_tables_line_begin(const void* obj, zim_tables_line_read_t* read) {
  zim_sim::PoolHeader* hdr = nullptr;
  uint64_t bytes = 0;
  zim_sim::VersionLine* line = zim_sim::checked_line(obj, &hdr, &bytes);
  if (line == nullptr) return zim_sim::refuse(EINVAL);
  if (read->tries++ == 0) {
    read->deadline_ns = 0;
  } else if (read->tries > zim_sim::kTriesBeforeBound) {
    const uint64_t now = zim_sim::now_ns();
    if (read->deadline_ns == 0) {
      read->deadline_ns = now + uint64_t{ZIM_SHM_POOL_WRITE_BOUND_US} * 1000u;
    } else if (now >= read->deadline_ns) {
      return zim_sim::refuse(EBUSY);  // changes kept coming for every try
    }
    sched_yield();
  }
  uint64_t version = line->version.load(zim_sim::kAcquire);
  // A write under way: read_begin tells a dead writer from a slow one.
  if ((version & 1) != 0 && zim_shm_pool_read_begin(obj, &version) != 0) return -1;
  read->version_at = reinterpret_cast<const uint64_t*>(&line->version);
  read->version = version;
  read->bytes = bytes;
  return 0;
}

extern "C" ZIM_SIM_API int zim_tables_write_is_open(const void* obj) {
  zim_sim::PoolHeader* hdr = nullptr;
  uint64_t bytes = 0;
  const zim_sim::VersionLine* line = zim_sim::checked_line(obj, &hdr, &bytes);
  if (line == nullptr || (line->version.load(zim_sim::kAcquire) & 1) == 0) return 0;
  return zim_sim::writer_is_self(line->writer.load(zim_sim::kRelaxed)) ? 1 : 0;
}
