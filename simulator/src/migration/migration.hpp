// SPDX-License-Identifier: Apache-2.0
// The migration: converting, in the pool, the objects of the table ids whose
// recorded layout differs from this program's into objects of this program's
// layout (zim_shm_pool_migrate), and retiring the objects of a table id
// (zim_shm_pool_retire). Internal to libzim_memory. This header holds what
// its parts share: the migration's state and the steps that the entry points
// (migration.cpp) drive: the read-only pass (migration_prepare.cpp) and the
// transactions (migration_transactions.cpp).
//
// Its rules: only the pool's owner migrates or retires, and not while another
// process maps the pool and objects would move (a retirement: at all).
// Nothing is written before every check has passed: the read-only pass writes
// nothing. Each step is a transaction of the allocator's kind (I4 and I5 in
// segment/segment.hpp), under the pool's lock with the undo record armed:
// beginning, converting one object, switching a type's slot to another layout
// record, retiring one object. A process killed at any point leaves the
// migration under way, and the next zim_shm_pool_migrate of a program with
// the same layouts completes it.
//
// What it writes, holding the pool's lock, with the undo record armed:
// beginning, the migration record (its words; the moves' room stays zero),
// the types' new layout records, their headers and start bits, the carve
// point and PoolHeader::migration; converting, the new object's block
// (header, start bit, bytes), the carve point, the region's cursor, limit and
// bytes, the old object's tag (retired), a move and the record's move count;
// switching, the slot's fingerprint and layout and the tag of the layout
// record it leaves (retired); retiring, the object's tag (retired) and its
// region's bytes and blocks. Without the undo record, one word each, once
// every object is converted: PoolHeader::root when its object moved, the
// record's state word (migrated), the record's tag (retired) and
// PoolHeader::migration (0); the attach gate (closed at the beginning, open
// once none is under way). In a versioned pool, besides: a converted
// object's version line, inside its conversion's transaction (its pool id
// carried, its version the sequence of its move); through versions/, feed
// entries (drawn before each change, published after); through the index's
// room, its keys put again at converted objects (completion) or removed
// (retirement), under the pool's lock. What it only reads: the pool's
// records and blocks, and who holds attach locks.
//
// Uses segment/, alloc/ (planning and carving blocks, arming the undo
// record), records/, names/ (the mapped pool, whether this process owns it),
// attach/ (the attach locks and gate), versions/ (lines, the feed's entries,
// the index),
// platform/, and the object converter library;
// it walks the mapped pool through zim_shm_pool_walk_mapped.
#ifndef ZIM_SIM_SRC_MIGRATION_MIGRATION_HPP
#define ZIM_SIM_SRC_MIGRATION_MIGRATION_HPP

#include <zim/sim/shm_pool.h>
#include <zim/tables/migration.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alloc/alloc.hpp"
#include "records/records.hpp"
#include "segment/segment.hpp"
#include "versions/pool_news.hpp"

namespace zim_sim {

using PlanPtr = std::unique_ptr<zim_table_migration_t, void (*)(zim_table_migration_t*)>;

// One table id whose objects the migration converts.
struct TypeWork {
  uint32_t table_id;
  const NoteLayout* note;  // this program's layout of it
  IdSlot* slot;
  uint64_t old_fingerprint;
  std::string old_text;     // its recorded layout, while objects of it are left
  uint64_t new_layout = 0;  // the record's offset, once the migration began
  uint64_t cursor, limit;   // its chunk when the migration began
  PlanPtr plan{nullptr, zim_table_migration_free};
};

// One object to convert, in address order.
struct OldBlock {
  uint64_t offset, size, new_size;
  size_t type;  // in Migration::types
};

struct Migration {
  std::string prefix;  // of every message
  std::shared_ptr<const ProgramLayouts> layouts;
  Config own;
  int fd;         // the segment's, for the attachers' locks
  Record record;  // at == 0: none under way before this call
  bool resumed = false;
  std::vector<TypeWork> types;
  std::vector<OldBlock> olds;
  std::vector<std::string> lines;  // why it is refused or stopped
  PoolNews* news;                  // the feed's entries of a versioned pool (inert elsewhere)
};

// What a conversion carves for an object of new_size bytes: its header, its
// lines and, in a versioned pool, its version line in front.
inline uint64_t converted_need(const PoolHeader* hdr, uint64_t new_size) {
  return kLine + lines(new_size) + (is_versioned(hdr) ? kLinedExtra : 0);
}

// plan() for a converted object (no page, no record), its common case
// inline as plan() decides it: a block that fits the rest of its type's chunk
// is carved there. Called for every object, twice.
inline bool plan_converted(uint64_t carve, uint64_t end, uint64_t cursor, uint64_t limit,
                           uint64_t need, Plan* p) {
  if (need <= ZIM_SHM_POOL_CHUNK_SIZE && limit - cursor >= need) {
    *p = Plan{};
    p->block = cursor;
    p->carve = carve;
    p->cursor = cursor + need;
    p->limit = limit;
    return true;
  }
  return plan(carve, end, cursor, limit, false, 0, need, p);
}

inline uint64_t layout_record_bytes(const TypeWork& w) {
  return sizeof(zim_shm_pool_layout_record_t) + w.note->text.size();
}

inline uint64_t record_bytes(const Migration& m) {
  return sizeof(Head) + m.types.size() * sizeof(TypeEntry) + m.olds.size() * sizeof(Move);
}

// Messages (migration.cpp).
std::string offset_text(uint64_t offset);
std::string type_text(std::string_view record_text, uint32_t table_id);

// The read-only pass (migration_prepare.cpp).
int check_attachers(const PoolHeader* hdr, int fd, std::vector<std::string>* lines);
int prepare(PoolHeader* hdr, Migration* m);

// The transactions (migration_transactions.cpp).
void begin(PoolHeader* hdr, Migration* m);
void begin_announced(PoolHeader* hdr, Migration* m);
int convert_all(PoolHeader* hdr, Migration* m);
bool switch_layout(PoolHeader* hdr, IdSlot* slot, uint64_t fingerprint, uint64_t layout);
void switch_layout_announced(PoolHeader* hdr, PoolNews* news, uint32_t table_id, IdSlot* slot,
                             uint64_t fingerprint, uint64_t layout);
int complete(PoolHeader* hdr, Migration* m, void (*moved)(uint64_t, uint64_t, uint32_t, void*),
             void* context);
bool retire_block(PoolHeader* hdr, uint32_t table_id, IdSlot* slot, uint64_t offset, uint64_t size);

// The index of a versioned pool (migration_index.cpp), under the pool's lock.
// Every key that leads to the old block of one of the record's first `moves`
// moves is put again, leading to the converted object (its pool id carried):
// idempotent, so a completion cut short does it again.
void carry_keys(PoolHeader* hdr, const PoolNews& news, const Record& r, uint64_t moves);
// Removes every key that leads to a retired object of table_id, each told as unindexed.
void unindex_retired(PoolHeader* hdr, uint32_t table_id, PoolNews* news);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_MIGRATION_MIGRATION_HPP
