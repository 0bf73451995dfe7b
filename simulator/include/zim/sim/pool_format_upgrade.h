/* SPDX-License-Identifier: Apache-2.0 */
/* Upgrading an adopted pool of layout version 8 (made by zim_shm_pool_create)
 * to a versioned pool (layout version 9), in place (libzim_memory). Included
 * by zim/sim/shm_pool.h. */
#ifndef ZIM_SIM_POOL_FORMAT_UPGRADE_H
#define ZIM_SIM_POOL_FORMAT_UPGRADE_H

#include <stdint.h>
#include <zim/sim/export.h>
#include <zim/sim/pool_versions.h>

#ifdef __cplusplus
extern "C" {
#endif

/* zim_shm_pool_upgrade, in the owner of the mapped pool (after
 * zim_shm_pool_adopt, or its creator), makes a pool of layout version 8 a
 * versioned pool under the same name and in the same segment: every object
 * (every live block of a table id, and every untyped block) moves into a new
 * block with a version line in front (version 2, a pool id of its own, no
 * writer), the feed and the index are carved from the pool's free space with
 * options' capacities (versioned must be 1, reserved 0, capacities as
 * zim_shm_pool_create_with takes them), the root slot follows its object, and
 * the pool's layout version becomes 9. Objects of a table id with a layout
 * record are copied by the layout (their pointers laid out for the new
 * block, as a migration does); other blocks byte for byte. Then moved (may be
 * null) is called once for every object moved, with its old and new offsets
 * and table id (ZIM_SHM_POOL_UNTYPED for untyped blocks), without the pool's
 * lock: it may allocate (lined objects, the pool being versioned by then) but
 * not migrate, retire or upgrade. 0, also for a pool that is versioned
 * already (nothing written, moved not called). -1 with errno ENOENT without a
 * pool, EPERM in a process that does not own it, EINVAL for options out of
 * range or a damaged pool; and, with nothing written and one line on stderr:
 *   ENOSPC  the pool cannot hold a copy of every object with its line, plus
 *           the feed and the index;
 *   EPROTO  an object not sound for its recorded layout (named by offset);
 *   EBUSY   a migration under way, or other processes map the pool.
 * From its first write until moved was called for every move, attaching,
 * zim_shm_pool_migrate and zim_shm_pool_retire are refused (EBUSY). A process killed during an
 * upgrade leaves it under way: the next owner's zim_shm_pool_upgrade (with any valid options: the
 * feed and index capacities of the upgrade under way stand) moves the objects left and calls moved
 * again for every object moved, earlier ones too: what moved updates must take a move twice.
 * zim_shm_pool_adopt alone keeps a pool of version 8 as it is, and leaves an upgrade under way for
 * a later call. */
ZIM_SIM_API int zim_shm_pool_upgrade(const zim_shm_pool_options_t *options,
                                     void (*moved)(uint64_t old_offset, uint64_t new_offset,
                                                   uint32_t table_id, void *context),
                                     void *context);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_POOL_FORMAT_UPGRADE_H */
