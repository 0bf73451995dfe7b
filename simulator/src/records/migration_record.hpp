// SPDX-License-Identifier: Apache-2.0
// The migration record (ZIM_SHM_POOL_MIGRATION) that PoolHeader::migration
// names while a migration is under way: its words, and reading and checking
// it and the blocks it names as hostile bytes of the pool
// (migration_record.cpp). The migration (migration/) writes it; the allocator
// asks it which layouts a migration under way converts to.
#ifndef ZIM_SIM_SRC_RECORDS_MIGRATION_RECORD_HPP
#define ZIM_SIM_SRC_RECORDS_MIGRATION_RECORD_HPP

#include <zim/sim/shm_pool.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

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

// The end of what the pool has carved, never past its start map.
inline uint64_t carved_end(const PoolHeader* hdr) {
  const uint64_t carve = hdr->carve.load(kRelaxed);
  const uint64_t map = start_map_offset(hdr->size);
  return carve < map ? carve : map;
}

// Steps from block header to block header up to the carve point, as
// zim_shm_pool_walk_mapped does, reading nothing else of a block:
// visit(offset, tag, size) for each header that names a block, live or
// retired (its data at offset); a header that names none is stepped over one
// line at a time. What a migration's and an upgrade's passes share.
template <typename Visit>
void for_each_carved_block(const PoolHeader* hdr, Visit visit) {
  constexpr uint64_t kStep = ZIM_SHM_POOL_ALIGN;  // a line
  const char* const base = reinterpret_cast<const char*>(hdr);
  // On lines, as the carve point is in a sound pool: a block that fits
  // before it ends on one too.
  const uint64_t end = carved_end(hdr) & ~(kStep - 1);
  for (uint64_t pos = ZIM_SHM_POOL_HEADER_SIZE; pos < end;) {
    const BlockHeader& header = *reinterpret_cast<const BlockHeader*>(base + pos);
    const uint64_t tag = header.tag.load(std::memory_order_acquire);
    const uint64_t size = header.size.load(kRelaxed);
    if (!names_block(tag, size, end - pos - kStep)) {
      pos += kStep;
      continue;
    }
    const uint64_t offset = pos + kStep;
    pos = offset + ((size + kStep - 1) & ~(kStep - 1));
    visit(offset, tag, size);
  }
}

// The header of a block of table_id (or record tag), live or retired, that
// starts at `at` and ends before `end`; null for none. Inline: each
// conversion checks its old block.
inline BlockHeader* block_before(const PoolHeader* hdr, uint64_t end, uint64_t at,
                                 uint32_t table_id, bool* retired) {
  if (at < ZIM_SHM_POOL_HEADER_SIZE + ZIM_SHM_POOL_BLOCK_HEADER_SIZE ||
      at % ZIM_SHM_POOL_ALIGN != 0 || at >= end) {
    return nullptr;
  }
  BlockHeader& header =
      block_header_at(const_cast<PoolHeader*>(hdr), at - ZIM_SHM_POOL_BLOCK_HEADER_SIZE);
  const uint64_t tag = header.tag.load(std::memory_order_acquire);
  const uint64_t size = header.size.load(kRelaxed);
  if (tag >> 32 != table_id || size == 0 || size > end - at) return nullptr;
  *retired = static_cast<uint32_t>(tag) == kRetiredMagic;
  return *retired || static_cast<uint32_t>(tag) == kBlockMagic ? &header : nullptr;
}

// block_before the carve point.
inline BlockHeader* block_of(const PoolHeader* hdr, uint64_t at, uint32_t table_id, bool* retired) {
  return block_before(hdr, carved_end(hdr), at, table_id, retired);
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

// Reads the record at `at`; false when no sound migration record lies there.
bool read_record(const PoolHeader* hdr, uint64_t at, Record* r);

// The record's i-th move, word by word. Inline: a completion reads every move.
inline Move move_of(const PoolHeader* hdr, const Record& r, uint64_t i) {
  const uint64_t at = r.move_at(i);
  const uint64_t words[3] = {word_at(hdr, at).load(kRelaxed), word_at(hdr, at + 8).load(kRelaxed),
                             word_at(hdr, at + 16).load(kRelaxed)};
  Move move;
  std::memcpy(&move, words, sizeof move);
  return move;
}

// Whether a process that owns the pool at hdr (locked) may make objects of
// table_id with the layout of `fingerprint` although the pool records another
// layout of it: while a migration converts the id's objects to that layout.
bool migration_takes(const PoolHeader* hdr, uint32_t table_id, uint64_t fingerprint);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_RECORDS_MIGRATION_RECORD_HPP
