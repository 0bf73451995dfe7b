// SPDX-License-Identifier: Apache-2.0
// What the parts of a migration share: the record's words, the migration's
// state, and the steps that the entry points (migration.cpp) drive: the
// read-only pass (migration_prepare.cpp), the reading of the record
// (migration_record.cpp) and the transactions (migration_transactions.cpp).
#ifndef ZIM_SIM_SRC_MIGRATION_WORK_HPP
#define ZIM_SIM_SRC_MIGRATION_WORK_HPP

#include <zim/sim/shm_pool.h>
#include <zim/tables/migration.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alloc/alloc.hpp"
#include "records/pool_records.hpp"
#include "records/program_layouts.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

constexpr auto kRelaxed = std::memory_order_relaxed;  // under the pool's lock
using Head = zim_shm_pool_migration_t;
using TypeEntry = zim_shm_pool_migration_type_t;
using Move = zim_shm_pool_move_t;
static_assert(sizeof(Head) == 32 && sizeof(TypeEntry) == 48 && sizeof(Move) == 24,
              "the record's words stay 8-byte aligned");
static_assert(offsetof(Head, move_count) == 24, "the move count is one word");

inline std::atomic<uint64_t>& word_at(const PoolHeader* hdr, uint64_t at) {
  return *reinterpret_cast<std::atomic<uint64_t>*>(
      reinterpret_cast<char*>(const_cast<PoolHeader*>(hdr)) + at);
}

// Two 32-bit fields that share a word, as the record lays them out.
inline uint64_t pair_word(uint32_t first, uint32_t second) {
  const uint32_t halves[2] = {first, second};
  uint64_t word;
  std::memcpy(&word, halves, sizeof word);
  return word;
}

constexpr uint64_t retired_tag(uint32_t table_id) {
  return kRetiredMagic | uint64_t{table_id} << 32;
}

// Reading the pool (migration_record.cpp).
// The end of what the pool has carved, never past its start map.
inline uint64_t carved_end(const PoolHeader* hdr) {
  const uint64_t carve = hdr->carve.load(kRelaxed);
  const uint64_t map = start_map_offset(hdr->size);
  return carve < map ? carve : map;
}

// The header of a block of table_id (or record tag), live or retired, that
// starts at `at` and ends before the carve point; null for none. Inline: each
// conversion checks its old block.
inline BlockHeader* block_of(const PoolHeader* hdr, uint64_t at, uint32_t table_id, bool* retired) {
  const uint64_t end = carved_end(hdr);
  if (at < ZIM_SHM_POOL_HEADER_SIZE + kLine || at % kLine != 0 || at >= end) return nullptr;
  BlockHeader& header = block_header_at(const_cast<PoolHeader*>(hdr), at - kLine);
  const uint64_t tag = header.tag.load(std::memory_order_acquire);
  const uint64_t size = header.size.load(kRelaxed);
  if (tag >> 32 != table_id || size == 0 || size > end - at) return nullptr;
  *retired = static_cast<uint32_t>(tag) == kRetiredMagic;
  return *retired || static_cast<uint32_t>(tag) == kBlockMagic ? &header : nullptr;
}

// The migration record that PoolHeader::migration names, as read and checked.
struct Record {
  uint64_t at = 0;  // its first byte; 0: no migration under way
  uint32_t state = 0;
  uint64_t carve = 0, move_capacity = 0;
  std::vector<TypeEntry> types;
  uint64_t moves = 0;  // the first move's offset
  uint64_t count_at() const { return at + offsetof(Head, move_count); }
  uint64_t move_at(uint64_t i) const { return moves + i * sizeof(Move); }
};

bool read_record(const PoolHeader* hdr, uint64_t at, Record* r);
Move move_of(const PoolHeader* hdr, const Record& r, uint64_t i);

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
};

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
int convert_all(PoolHeader* hdr, Migration* m);
void switch_layout(PoolHeader* hdr, IdSlot* slot, uint64_t fingerprint, uint64_t layout);
int complete(PoolHeader* hdr, Migration* m, void (*moved)(uint64_t, uint64_t, uint32_t, void*),
             void* context);
void retire_block(PoolHeader* hdr, uint32_t table_id, IdSlot* slot, uint64_t offset, uint64_t size);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_MIGRATION_WORK_HPP
