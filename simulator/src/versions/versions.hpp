// SPDX-License-Identifier: Apache-2.0
// Versioned pools: creation with options (pool_create_with.cpp), the version
// line of each object and the write and read brackets (brackets.cpp), the
// writers' slots (writer_slots.cpp), the feed and index views kept per
// mapping (rooms_cache.cpp), the accounts a tool reads by name
// (versions_report.cpp, rooms_report.cpp) and a follower's resync by versions
// (pool_resync.cpp). Internal to libzim_memory; the API is
// zim/sim/pool_versions.h.
//
// Its rules: a version line is written whole by the allocator, under the
// pool's lock, before the block headers that make it reachable (alloc/).
// Afterwards the version and writer words are written only by the object's
// writer, inside its brackets, with one atomic store or compare-and-swap
// each; the line's pool id never changes. The sequence and pool id counters
// only grow. A reader of a line writes nothing in the pool.
//
// What it writes: at creation, before the magic, the VersionState and the
// feed's and index's records (their headers, start bits and the carve point
// past them; their bytes through feed_init and index_init); a writer's slot
// generation and pid when it claims the slot; a line's version and writer
// words in brackets; a line's retired word before a retirement; the pool id
// counter; the stamp of the pool's only writer; through the feed's room, its entries and sequence;
// through the index's, its slots, under the pool's lock. Locks: one exclusive open-file-description
// lock per writer on a byte far past the segment's end, never waited for. What it only reads: block
// headers (to find a line from an object), the lock state of writers' bytes, and, by name, the
// segment through the walk.
//
// Uses segment/, feed/, index/, names/ (the mapping and its descriptor) and
// attach/ (creation); alloc/ uses it for the lines of new objects, migration/
// to announce retirements.
#ifndef ZIM_SIM_SRC_VERSIONS_VERSIONS_HPP
#define ZIM_SIM_SRC_VERSIONS_VERSIONS_HPP

#include <sys/types.h>
#include <zim/sim/pool_versions.h>

#include <atomic>
#include <cstdint>

#include "feed/feed.hpp"
#include "index/index.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

constexpr uint64_t kVersionStateOffset = 4096;  // in the header's reserved space
constexpr uint64_t kVersionsMagic = 0x3173726576776d7aull;
constexpr uint32_t kWriterSlots = ZIM_SHM_POOL_WRITER_SLOTS;
constexpr unsigned kSlotBits = 16;  // a writer stamp: slot | generation << kSlotBits

// A versioned pool's own state, at kVersionStateOffset; zero in other pools.
struct VersionState {
  uint64_t magic;  // kVersionsMagic, written by the creator before the pool's magic
  uint64_t feed_capacity, index_capacity;  // as the options gave them
  // Offsets of the ZIM_SHM_POOL_FEED and ZIM_SHM_POOL_INDEX records' data,
  // written at creation; the feed's header holds the pool-wide sequence.
  uint64_t feed, index;
  std::atomic<uint64_t> next_pool_id;
  std::atomic<uint64_t> generation[kWriterSlots];  // +1 by each claimer of a slot
  std::atomic<int32_t> pid[kWriterSlots];          // of the slot's last claimer, for messages
  // The writer stamp of the pool's only writer (0: anyone writes), set under
  // the pool's lock by zim_shm_pool_claim_writes; a dead holder's stamp is
  // cleared by whoever finds it dead (sole_writer.cpp).
  std::atomic<uint64_t> sole_writer;
  // Random, never 0, drawn when the pool's versions began (its creation, or
  // its upgrade in place) and kept by hand-overs and migrations: a pool made
  // again under the same name has another, so that whoever compares versions
  // across restarts can tell they are not of one sequence. 0 in pools made
  // by earlier releases.
  uint64_t identity;
};
static_assert(sizeof(PoolHeader) <= kVersionStateOffset, "the pool header ends before");
static_assert(kVersionStateOffset + sizeof(VersionState) <= ZIM_SHM_POOL_HEADER_SIZE,
              "the state fits the header's reserved space");
static_assert(kWriterSlots < (1u << kSlotBits), "a slot fits its stamp bits");

// The data of a ZIM_SHM_POOL_VERSION_LINE block; the object's block header
// follows it. version: 2 * sequence, | 1 while a write is under way; writer:
// the stamp of its last writer (0: none yet); retired: the version of the
// retirement that retired the object, stored before its header says so (read
// only while it does: a retirement undone leaves a word nobody reads).
struct VersionLine {
  std::atomic<uint64_t> version;
  std::atomic<uint64_t> pool_id;
  std::atomic<uint64_t> writer;
  std::atomic<uint64_t> retired;
};
constexpr uint64_t kLineBytes = sizeof(VersionLine);
// What a line adds in front of an object's block header: its own header and data.
constexpr uint64_t kLinedExtra = ZIM_SHM_POOL_BLOCK_HEADER_SIZE + kLineBytes;
static_assert(kLineBytes % ZIM_SHM_POOL_ALIGN == 0, "the object's header stays on a line");

inline bool is_versioned(const PoolHeader* hdr) { return hdr->version == kVersionedPoolVersion; }

inline VersionState& version_state(PoolHeader* hdr) {
  return *reinterpret_cast<VersionState*>(reinterpret_cast<char*>(hdr) + kVersionStateOffset);
}

// A new pool identity: random, never 0.
uint64_t draw_pool_identity();

// Writes a fresh pool's VersionState and version and carves its feed and
// index (creation, before the magic); false with errno ENOSPC.
bool prepare_versioned(PoolHeader* hdr, uint64_t feed_capacity, uint64_t index_capacity);

// Carves and lays out the feed and the index records of a fresh pool whose
// VersionState has its capacities (pool_rooms.cpp).
bool carve_rooms(PoolHeader* hdr);

// The feed and the index of the mapped versioned pool hdr, opened from its
// bytes as any reader of outside bytes: checked, with the capacities checked.
struct PoolRooms {
  FeedView feed;
  Index index;
};

// Opens hdr's rooms; false with errno EINVAL, after one line on stderr that
// names the damage, when the records or their headers do not check.
bool open_rooms(PoolHeader* hdr, PoolRooms* rooms);

// The mapped pool, when it is versioned, and its rooms opened; false with
// errno EINVAL otherwise.
bool mapped_rooms(PoolHeader** hdr, PoolRooms* rooms);

// The rooms of the mapped versioned pool hdr as open_rooms checked them,
// once per mapping and process (rooms_cache.cpp); null as open_rooms fails.
// Valid while the pool stays mapped.
const PoolRooms* checked_rooms(PoolHeader* hdr);

// The feed's 32-bit name of a writer stamp: its slot and its generation's low
// 16 bits; the feed asks writer_alive through the liveness it carries.
uint32_t appender_token(uint64_t stamp);

// This process's writer stamp in the mapped pool hdr, claiming a slot the
// first time; 0 with errno (EAGAIN: every slot is taken; EPERM: a follower's
// mapping) on failure. Takes
// the mapping's lock: call it before the pool's lock.
uint64_t writer_stamp(PoolHeader* hdr);

// Whether the writer stamped `stamp` still holds its slot in the mapped pool.
bool writer_alive(PoolHeader* hdr, uint64_t stamp);

// Whether `stamp` is this process's own claim in the mapped pool.
bool writer_is_self(uint64_t stamp);

// Whether another open file description of the segment open on fd holds
// the lock of writer slot `slot`: a lock held through fd itself is not seen.
bool slot_held(int fd, uint32_t slot);

// Where an object that lives in the mapped pool hdr finds its line: null, with
// *in_pool telling whether obj lies inside the pool at all.
VersionLine* line_of(PoolHeader* hdr, const void* obj, bool* in_pool);

// line_of's answer by value, for the hot paths: a caller that keeps no local
// whose address is taken needs no stack guard.
struct LineLookup {
  VersionLine* line;
  bool in_pool;
};
LineLookup lookup_line(PoolHeader* hdr, const void* obj);

// The line of the object at `offset` of hdr, a mapping of `size` bytes: null
// unless the object's block header and the line's check (hostile bytes).
inline VersionLine* line_at(PoolHeader* hdr, uint64_t size, uint64_t offset) {
  constexpr uint64_t kAlign = ZIM_SHM_POOL_ALIGN;
  constexpr uint64_t kFirst = ZIM_SHM_POOL_HEADER_SIZE + kLinedExtra + kAlign;
  if (offset < kFirst || offset % kAlign != 0 || offset >= start_map_offset(size)) return nullptr;
  const uint64_t tag = block_header_at(hdr, offset - kAlign).tag.load(std::memory_order_acquire);
  const uint32_t id = static_cast<uint32_t>(tag >> 32);
  if (static_cast<uint32_t>(tag) != kBlockMagic ||
      (id > ZIM_SHM_POOL_MAX_TABLE_ID && id != ZIM_SHM_POOL_UNTYPED)) {
    return nullptr;
  }
  const BlockHeader& header = block_header_at(hdr, offset - kAlign - kLinedExtra);
  if (header.tag.load(std::memory_order_acquire) != block_tag(ZIM_SHM_POOL_VERSION_LINE) ||
      header.size.load(std::memory_order_relaxed) != kLineBytes) {
    return nullptr;
  }
  return reinterpret_cast<VersionLine*>(reinterpret_cast<char*>(hdr) + offset - kLinedExtra);
}

// Announces in the feed changes that another room makes to objects of a
// versioned pool (inert in other pools): made before the pool's lock, which
// claiming the writer slot must precede; then, under the lock, draw() before
// each change and publish() after it, `lost` when it was not made after all.
class ChangeAnnouncer {
 public:
  explicit ChangeAnnouncer(PoolHeader* hdr);
  void draw(const void* obj);
  // Between draw and a retirement: keeps the retirement's version on the
  // object's line, where a resync finds it after any lap.
  void keep_retirement();
  void publish(FeedKind kind, bool made);

 private:
  PoolHeader* hdr_;
  bool on_ = false;
  PoolRooms rooms_;
  uint32_t token_ = 0;
  uint64_t sequence_ = 0;
  VersionLine* line_ = nullptr;
  FeedEntry entry_{};
};

// The table id of obj, an object that line_of found in hdr.
uint32_t object_table_id(PoolHeader* hdr, const void* obj);

// The line that an allocation writes for a new object, under way since,
// with pool_id, or with an id drawn from the pool's counter when it is 0.
// Under the pool's lock.
void fill_new_line(PoolHeader* hdr, uint64_t at, uint64_t stamp, uint64_t pool_id);

// Whether the pool's writes belong to another live process than the writer
// `me` (sole_writer.cpp): a dead holder's claim is cleared on the way.
bool writes_refused(PoolHeader* hdr, uint64_t me);

// Whether a live object of the mapped pool hdr has pool_id (pool_ids.cpp).
// Under the pool's lock: O(1) above the pool's counter, else a walk of the
// start map's blocks.
bool pool_id_taken(PoolHeader* hdr, uint64_t pool_id);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_VERSIONS_VERSIONS_HPP
