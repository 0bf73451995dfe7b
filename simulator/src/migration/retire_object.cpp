// SPDX-License-Identifier: Apache-2.0
// libzim_memory: retiring one object of a versioned pool (zim_shm_pool_retire_object),
// as zim_shm_pool_retire retires each object of a table id, for a writer that
// replaces objects one at a time (a mirror of another pool).

#include <zim/sim/shm_pool.h>

#include <cerrno>

#include "migration/migration.hpp"
#include "names/names.hpp"
#include "records/records.hpp"
#include "segment/segment.hpp"
#include "segment/upgrade_mark.hpp"
#include "versions/versions.hpp"

using zim_sim::PoolHeader;

extern "C" ZIM_SIM_API int zim_shm_pool_retire_object(void* obj) {
  PoolHeader* hdr = zim_sim::mapped_pool();
  if (hdr == nullptr) return errno = ENOENT, -1;
  if (zim_sim::owned_pool_fd() < 0) return errno = EPERM, -1;
  if (zim_shm_pool_is_versioned() == 0) return errno = EINVAL, -1;
  uint32_t table_id = 0;
  uint64_t size = 0;
  const uint64_t offset = zim_shm_pool_offset_of(obj);
  if (offset == ZIM_SHM_POOL_BAD_OFFSET || zim_shm_pool_block_at(offset, &table_id, &size) != obj ||
      table_id > ZIM_SHM_POOL_MAX_TABLE_ID) {
    return errno = EINVAL, -1;
  }
  if (zim_sim::upgrade_forbids(hdr, "retire an object in", zim_shm_pool_name()))
    return errno = EBUSY, -1;
  zim_sim::ChangeAnnouncer announcer(hdr);
  zim_sim::PoolLock lock(hdr);
  if (hdr->migration.load(zim_sim::kRelaxed) != 0) return errno = EBUSY, -1;
  zim_sim::IdSlot* slot = zim_sim::id_slot(hdr, hdr->size, table_id);
  if (slot == nullptr) return errno = EINVAL, -1;
  // The retirement's version is kept before the block's header says retired,
  // so that a resync by versions finds it after any lap.
  announcer.draw(obj);
  announcer.keep_retirement();
  const bool retired = zim_sim::retire_block(hdr, table_id, slot, offset, size);
  announcer.publish(zim_sim::FeedKind::retired, retired);
  return retired ? 0 : (errno = EINVAL, -1);
}
