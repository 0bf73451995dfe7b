// SPDX-License-Identifier: Apache-2.0
// libzim_memory: what the type headers' snapshots and accessors reach of a
// versioned pool (zim/tables/versions.h; names/mapping.cpp mirrors the
// mapping's span and the lines' span): a snapshot's try at a whole version
// and whether this process's write of an object is open. A snapshot copies
// inline and checks its try itself: an acquire fence, then the version word
// again. A try is a few dozen instructions when it finds a live object at an
// even version; anything else goes to a cold path that finds the line as the
// brackets do.
//
// Bounds: a try's bytes are the object's block size as its header gives it,
// cut to the mapping's start map, so that a snapshot reads inside the pool
// whatever the object's bytes and the block header say.

#include <sched.h>
#include <time.h>
#include <zim/tables/versions.h>

#include <cerrno>
#include <cstddef>

#include "versions/lines_span.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

LinesSpan g_lines_span{{0}, {0}, {0}};

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

// The deadline of this thread's snapshot whose tries went past
// kTriesBeforeBound. A snapshot made by a signal handler meanwhile moves it
// on: the interrupted one's bound then ends later, never sooner.
thread_local uint64_t t_deadline_ns = 0;

// A try after the first: from the ninth on, a bound on the retries.
int pace_retry(uint32_t tries) {
  if (tries <= kTriesBeforeBound) return 0;
  const uint64_t now = now_ns();
  if (tries == kTriesBeforeBound + 1) {
    t_deadline_ns = now + uint64_t{ZIM_SHM_POOL_WRITE_BOUND_US} * 1000u;
  } else if (now >= t_deadline_ns) {
    return refuse(EBUSY);  // changes kept coming for every try
  }
  sched_yield();
  return 0;
}

constexpr zim_tables_whole_t kNoTry = {1, 0};  // an odd version: no try

// Every try but one that finds a whole version at the first look: the line
// found again as the brackets find it, and a write under way told from a
// dead writer's by read_begin.
__attribute__((cold, noinline)) zim_tables_whole_t try_slowly(const void* obj) {
  uint64_t bytes = 0;
  const VersionLine* line = checked_line(obj, &bytes);
  if (line == nullptr) {
    errno = EINVAL;
    return kNoTry;
  }
  uint64_t version = line->version.load(kAcquire);
  if ((version & 1) != 0 && zim_shm_pool_read_begin(obj, &version) != 0) return kNoTry;
  return {version, bytes};
}

// A try: what checked_line checks and bounds, from obj's own address and
// the lines' span, in the few instructions the first try of an uncontended
// snapshot should cost; any doubt goes to try_slowly.
__attribute__((always_inline)) inline zim_tables_whole_t try_whole(const void* obj) {
  static_assert(ZIM_TABLES_VERSION_WORD_BEFORE == kLinedExtra - offsetof(VersionLine, version),
                "the type headers find the version word where the line keeps it");
  const uint64_t units = g_lines_span.units.load(kRelaxed);
  const uint64_t first = reinterpret_cast<uintptr_t>(obj) - g_lines_span.first.load(kRelaxed);
  if (__builtin_expect(span_units(first) < units, 1)) {  // in the room, and aligned
    const auto* at = static_cast<const char*>(obj);
    const auto* block = reinterpret_cast<const BlockHeader*>(at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE);
    const auto* line_block =
        reinterpret_cast<const BlockHeader*>(at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE - kLinedExtra);
    // A live block of a table id: its magic, and no bit set past the id's
    // 16 (an untyped block is left to try_slowly).
    static_assert(ZIM_SHM_POOL_MAX_TABLE_ID == 0xffffu, "a table id fills 16 bits");
    constexpr uint64_t kMagicAndAboveId = ~((uint64_t{ZIM_SHM_POOL_MAX_TABLE_ID} << 32));
    if (__builtin_expect(
            ((block->tag.load(kAcquire) ^ kBlockMagic) & kMagicAndAboveId) == 0 &&
                line_block->tag.load(kAcquire) == block_tag(ZIM_SHM_POOL_VERSION_LINE) &&
                line_block->size.load(kRelaxed) == kLineBytes,
            1)) {
      const uint64_t held = block->size.load(kRelaxed);
      const uint64_t left = g_lines_span.end.load(kRelaxed) - reinterpret_cast<uintptr_t>(obj);
      const auto* line = reinterpret_cast<const VersionLine*>(at - kLinedExtra);
      const uint64_t version = line->version.load(kAcquire);
      if (__builtin_expect((version & 1) == 0, 1)) return {version, held < left ? held : left};
    }
  }
  return try_slowly(obj);
}

}  // namespace

}  // namespace zim_sim

extern "C" ZIM_SIM_API zim_tables_whole_t zim_tables_whole_first(const void* obj) {
  return zim_sim::try_whole(obj);
}

extern "C" ZIM_SIM_API zim_tables_whole_t zim_tables_whole_again(const void* obj, uint32_t tries) {
  if (zim_sim::pace_retry(tries) != 0) return zim_sim::kNoTry;
  return zim_sim::try_whole(obj);
}

extern "C" ZIM_SIM_API int zim_tables_write_is_open(const void* obj) {
  uint64_t bytes = 0;
  const zim_sim::VersionLine* line = zim_sim::checked_line(obj, &bytes);
  if (line == nullptr || (line->version.load(zim_sim::kAcquire) & 1) == 0) return 0;
  return zim_sim::writer_is_self(line->writer.load(zim_sim::kRelaxed)) ? 1 : 0;
}
