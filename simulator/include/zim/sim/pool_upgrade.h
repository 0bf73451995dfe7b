/* SPDX-License-Identifier: Apache-2.0 */
/* Upgrades without a cold start (libzim_memory): a server hands its pool to
 * its next version, which adopts it and migrates the objects whose type's
 * layout changed. Included by zim/sim/shm_pool.h. */
#ifndef ZIM_SIM_POOL_UPGRADE_H
#define ZIM_SIM_POOL_UPGRADE_H

#include <stdint.h>
#include <zim/sim/export.h>
#include <zim/sim/pool_records.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Hand-over, adoption and migration: a server's next version takes over its
 * pool and converts the objects whose type's layout changed.
 *
 * zim_shm_pool_hand_over, in the pool's owner (its creator or adopter; else
 * -1 with EPERM), unmaps the pool and keeps it and its name for a successor,
 * giving up the owner's claim: no exit or abort of this process removes it.
 * zim_shm_pool_adopt maps the pool `name` whose owner handed it over or is
 * gone, however it ended, at another address than its creator's, and makes
 * this process its owner, every object and the root slot kept, after the
 * handshake on the number of NPUs and the NPD sizes only (a difference: -1
 * with EPROTO and one line each on stderr, ending "(not migrated)"; layouts
 * are the migration's business, and a migration under way is the adopter's to
 * finish). 0, or -1 with errno: EEXIST and a message naming the owner's
 * process id while the owner (or a process it forked that still holds the
 * pool) lives, ENOENT when the name went meanwhile, EINVAL and EBUSY as for
 * attach. Each adoption begins a new epoch of the pool, which the attachers'
 * locks name (see zim_shm_pool_attach). Once a pool was handed over or
 * adopted its name stays until zim_shm_pool_destroy, however its owner ends,
 * and zim_shm_pool_create refuses the name (EEXIST).
 *
 * zim_shm_pool_migrate, in the owner, converts the objects of every table id
 * whose recorded layout differs from this program's layout note into objects
 * of this program's layout (see the user guide for what is carried), in the
 * pool: each gets a new block, its old block is retired (a walk's piece says
 * so; zim_shm_pool_block_at, zim_shm_pool_table_blocks and
 * zim_shm_pool_table_bytes no longer see it) and the id records the new
 * layout. Objects of other ids stay where they are; an id whose objects stay
 * as they are but whose record names its fields otherwise (or has other trace
 * ids) takes this program's record, so that the next version pairs fields by
 * the names this one gave. Once every object is
 * converted, the root slot follows the object it names, and moved (may be
 * null) is called for each object converted, with its old and new offsets,
 * without the pool's lock: it may allocate, but not migrate or retire; then
 * each field the new layouts dropped is named on stderr, one line each. 0, also
 * when no record differs (then nothing is written, at a cost that does not
 * grow with the objects). -1 with errno ENOENT without a pool, EPERM in a
 * process that does not own it; or, with nothing written and a line on stderr
 * for each reason:
 *   EPROTO  a change that a migration cannot carry (each named as --compat
 *           names it), a type gone from this program whose objects the pool
 *           holds (retire them first), an object not sound for its recorded
 *           layout (named by its offset), or a migration under way that a
 *           program of other layouts began;
 *   ENOSPC  the pool cannot hold the new objects and the migration's records;
 *   EBUSY   other processes map the pool (each named, with whether it
 *           attached before this owner adopted the pool);
 *   EINVAL  damaged records.
 * From its first write until it completes, attaching is refused (EBUSY). A
 * process killed during a migration leaves it under way; the next
 * zim_shm_pool_migrate of a program that carries the layouts it converts to
 * (after adopting the pool) completes it: it converts the objects left and
 * calls moved again for every object converted. Meanwhile the owner may make
 * objects of those layouts; their room is the migration's too, which stops
 * with ENOSPC, still under way, when they took what it needs.
 *
 * zim_shm_pool_retire, in the owner, retires every live object of table_id
 * and then forgets the id's layout record, so that objects of any layout of
 * it may be made again: for objects a migration cannot carry. 0, also when
 * the id holds nothing; -1 with errno: ENOENT and EPERM as above, EINVAL for
 * an id above ZIM_SHM_POOL_MAX_TABLE_ID, EBUSY with a message during a
 * migration or while another process maps the pool. A process killed during
 * it leaves some objects retired; calling it again finishes. */
ZIM_SIM_API int zim_shm_pool_hand_over(void);
ZIM_SIM_API int zim_shm_pool_adopt(const char *name);
ZIM_SIM_API int zim_shm_pool_migrate(void (*moved)(uint64_t old_offset, uint64_t new_offset,
                                                   uint32_t table_id, void *context),
                                     void *context);
ZIM_SIM_API int zim_shm_pool_retire(uint32_t table_id);

/* Versioned pools carry through a migration each converted object's pool id
 * (a conversion is a change: the new object gets the version of its moved
 * entry's sequence) and the index's keys; the feed tells hand-overs,
 * adoptions, the migration's beginning, moves, layout changes and end, and
 * root changes (zim/sim/pool_versions.h).
 *
 * zim_shm_pool_wait_attachable sleeps, without mapping the pool as an
 * attacher and without polling (a futex in the pool's header, shared by
 * every process), until the pool `name` is open to attachers again: no
 * migration under way and, after a hand-over, once the successor's
 * zim_shm_pool_migrate returned 0, whether or not it had objects to convert.
 * (zim_shm_pool_attach is not refused meanwhile, but a process that maps the
 * pool makes the successor's migration refuse with EBUSY.) 0, at once when
 * the pool is open; -1 with errno ETIMEDOUT once timeout_us passed, ENOENT
 * when no pool has the name, EINVAL for a bad name or a segment that is not
 * a complete pool, or another errno of opening and mapping its header. A
 * pool whose successor never migrates, or that is destroyed meanwhile, stays
 * closed: the wait ends at its timeout. */
ZIM_SIM_API int zim_shm_pool_wait_attachable(const char *name, uint64_t timeout_us);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_POOL_UPGRADE_H */
