// SPDX-License-Identifier: Apache-2.0
// libzim_memory: reading a migration's record and the blocks it names, as
// hostile bytes of the pool.

#include "records/migration_record.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/pool_records.hpp"
#include "segment/segment.hpp"

namespace zim_sim {

bool read_record(const PoolHeader* hdr, uint64_t at, Record* r) {
  bool retired = false;
  const BlockHeader* header = block_of(hdr, at, ZIM_SHM_POOL_MIGRATION, &retired);
  if (header == nullptr) return false;
  const uint64_t size = header->size.load(kRelaxed);
  Head head;
  if (size < sizeof head) return false;
  std::memcpy(&head, reinterpret_cast<const char*>(hdr) + at, sizeof head);
  // The move count is the word a migration writes as it goes.
  const uint64_t count = word_at(hdr, at + offsetof(Head, move_count)).load(kRelaxed);
  if (!zim_codec::migration_head_fits(head, count, size, nullptr) ||
      (retired && head.state != ZIM_SHM_POOL_MIGRATED)) {
    return false;
  }
  *r = {at, head.state, head.carve, head.move_capacity, {}};
  r->types.resize(head.type_count);
  r->moves = at + sizeof head + head.type_count * sizeof(TypeEntry);
  if (head.type_count != 0) {
    std::memcpy(r->types.data(), reinterpret_cast<const char*>(hdr) + at + sizeof head,
                head.type_count * sizeof(TypeEntry));
  }
  return zim_codec::migration_types_sound(r->types.data(), r->types.size(), nullptr);
}

bool migration_takes(const PoolHeader* hdr, uint32_t table_id, uint64_t fingerprint) {
  Record r;
  const uint64_t at = hdr->migration.load(kRelaxed);
  if (at == 0 || !read_record(hdr, at, &r)) return false;
  for (const TypeEntry& t : r.types) {
    if (t.table_id == table_id && t.new_fingerprint == fingerprint) return true;
  }
  return false;
}

}  // namespace zim_sim
