// SPDX-License-Identifier: Apache-2.0
// libzim_memory: a live object of a versioned pool replaced by a new block of
// another size under its pool id, for a copier whose objects change size: the
// old object's retirement and the new block's allocation are one transaction,
// so the id passes from one to the other without a walk of the pool's blocks.

#include <zim/sim/pool_copies.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <optional>

#include "alloc/alloc.hpp"
#include "names/names.hpp"
#include "records/records.hpp"
#include "segment/upgrade_mark.hpp"
#include "versions/versions.hpp"

namespace zim_sim {

int replacement_refusal(PoolHeader* hdr, uint32_t table_id, uint64_t pool_id,
                        const Replaced& replaced) {
  if (hdr->migration.load(std::memory_order_relaxed) != 0) return EBUSY;
  bool retired = false;
  const BlockHeader* header = block_of(hdr, replaced.offset, table_id, &retired);
  if (header == nullptr || retired ||
      header->size.load(std::memory_order_relaxed) != replaced.size) {
    return EINVAL;
  }
  bool in_pool = false;
  const VersionLine* line = line_of(hdr, reinterpret_cast<char*>(hdr) + replaced.offset, &in_pool);
  return line != nullptr && line->pool_id.load(std::memory_order_relaxed) == pool_id ? 0 : EINVAL;
}

void retire_replaced(PoolHeader* hdr, uint32_t table_id, const Replaced& replaced) {
  put(block_header_at(hdr, replaced.offset - ZIM_SHM_POOL_ALIGN).tag, retired_tag(table_id));
}

}  // namespace zim_sim

namespace {

void* refuse(int err) {
  errno = err;
  return nullptr;
}

}  // namespace

extern "C" ZIM_SIM_API void* zim_shm_pool_replace_object(void* obj, uint64_t size,
                                                         const char* layout_text,
                                                         uint32_t text_size, uint64_t fingerprint) {
  zim_sim::PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr || !zim_sim::is_versioned(hdr)) return refuse(EINVAL);
  if (zim_sim::owned_pool_fd() < 0) return refuse(EPERM);
  uint32_t table_id = 0;
  uint64_t old_size = 0;
  const uint64_t offset = zim_shm_pool_offset_of(obj);
  if (offset == ZIM_SHM_POOL_BAD_OFFSET ||
      zim_shm_pool_block_at(offset, &table_id, &old_size) != obj ||
      table_id > ZIM_SHM_POOL_MAX_TABLE_ID) {
    return refuse(EINVAL);
  }
  bool in_pool = false;
  const zim_sim::VersionLine* line = zim_sim::line_of(hdr, obj, &in_pool);
  const uint64_t pool_id = line != nullptr ? line->pool_id.load(std::memory_order_relaxed) : 0;
  if (pool_id == 0) return refuse(EINVAL);
  std::optional<zim_sim::NoteLayout> received;
  if (layout_text != nullptr && !zim_sim::read_received_layout(table_id, layout_text, text_size,
                                                               fingerprint, &received.emplace())) {
    return refuse(EINVAL);
  }
  if (zim_sim::upgrade_forbids(hdr, "replace an object in", zim_shm_pool_name())) {
    return refuse(EBUSY);
  }
  // Made before the pool's lock, which claiming the writer slot must precede.
  zim_sim::ChangeAnnouncer announcer(hdr);
  const zim_sim::Replaced replaced{offset, old_size, &announcer};
  return zim_sim::calloc_block_as(table_id, size, pool_id, received ? &*received : nullptr,
                                  &replaced);
}
