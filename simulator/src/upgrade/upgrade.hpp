// SPDX-License-Identifier: Apache-2.0
// The in-place upgrade of a pool of layout version 8 to a versioned pool
// (zim_shm_pool_upgrade): its state and the steps that the entry point
// (upgrade.cpp) drives: the read-only pass (upgrade_prepare.cpp) and the
// transactions (upgrade_steps.cpp). Internal to libzim_memory.
//
// Its rules: only the pool's owner upgrades, and not while another process
// maps the pool or a migration is under way; nothing is written before every
// check has passed. Each object moves in a transaction of the allocator's
// kind (I4 and I5 in segment/segment.hpp): its lined block is carved as a run
// of its own from the carve point, so that no region changes and the undo
// record names the line as a record and the object as a block. A line's
// last word keeps the offset its object moved from: the moves are the pool's
// own, found again by a walk after a crash, without a record of their own.
//
// What it writes, holding the pool's lock: beginning, with the undo record
// armed (a span), the feed's and the index's records and the carve point,
// then, unarmed, the VersionState's capacities, offsets and magic
// (kUpgradeMagic); moving an object, with the undo record armed, the line's
// words, header and start bit, the new object's header, start bit and bytes,
// the carve point and the old object's tag (retired); completing, one word
// each: the root slot, the layout version (9), the VersionState's magic
// (kVersionsMagic, after the reports). What it only reads: the pool's blocks
// and records, and who holds attach locks.
//
// Uses segment/, alloc/ (arming the undo record, block headers), records/,
// versions/ (the VersionState, the lines, the feed's and index's layout),
// migration/ (who maps the pool, messages), names/ and the object converter.
#ifndef ZIM_SIM_SRC_UPGRADE_UPGRADE_HPP
#define ZIM_SIM_SRC_UPGRADE_UPGRADE_HPP

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "migration/migration.hpp"
#include "upgrade/upgrade_state.hpp"

namespace zim_sim {

// One block to move into a lined block, in address order.
struct Unlined {
  uint64_t offset, size;
  uint32_t table_id;
};

struct Upgrade {
  std::string prefix;  // of every message
  int fd = -1;         // the segment's, for the attachers' locks
  UpgradeStage stage = UpgradeStage::kNone;
  uint64_t feed_capacity = 0, index_capacity = 0;
  bool rooms_carved = false;  // by an upgrade killed before it marked itself
  std::vector<Unlined> objects;
  std::map<uint32_t, PlanPtr> plans;  // by table id; the others are copied byte for byte
  std::vector<std::string> lines;     // why it is refused or stopped
};

// The entries of the feed of a versioned pool whose options asked for `asked`.
inline uint64_t upgrade_ring_capacity(uint64_t asked) {
  uint64_t capacity = kFeedMinCapacity;
  while (capacity < asked) capacity <<= 1;
  return capacity;
}

// The bytes the feed's and the index's records take with their headers.
uint64_t rooms_bytes(uint64_t feed_capacity, uint64_t index_capacity);

// Whether the VersionState names a feed and an index carved for its
// capacities: the rooms of an upgrade killed before it marked itself.
bool rooms_carved(PoolHeader* hdr);

// The read-only pass, with the pool locked (upgrade_prepare.cpp): 0, or an
// errno after the lines in u->lines.
int prepare_upgrade(PoolHeader* hdr, Upgrade* u);

// The transactions and one-word steps (upgrade_steps.cpp).
void begin_upgrade(PoolHeader* hdr, const Upgrade& u);
int move_objects(PoolHeader* hdr, Upgrade* u);
void turn_versioned(PoolHeader* hdr);
void report_moves(PoolHeader* hdr, void (*moved)(uint64_t, uint64_t, uint32_t, void*),
                  void* context);

// A lined block of the pool found by a walk: its line's data and its
// object's offset, table id and size.
struct Lined {
  uint64_t line, offset, size;
  uint32_t table_id;
  uint64_t moved_from;  // the line's last word: 0 unless an upgrade moved it
};

// Every live lined object, in address order (upgrade_prepare.cpp).
std::vector<Lined> lined_objects(const PoolHeader* hdr);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_UPGRADE_UPGRADE_HPP
