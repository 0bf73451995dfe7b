/* SPDX-License-Identifier: Apache-2.0 */
/* Versioned pools (libzim_memory, zim/sim/pool_versions.h): objects made
 * under pool ids their maker gives, for a process that copies another pool's
 * objects and keeps their ids, with the layout it received when it carries
 * no layout note of the table id. */
#ifndef ZIM_SIM_POOL_COPIES_H
#define ZIM_SIM_POOL_COPIES_H

#include <stdint.h>
#include <zim/sim/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A zero-filled block of table_id (or ZIM_SHM_POOL_UNTYPED) in the mapped
 * versioned pool, as zim_shm_table_pool_calloc (or zim_shm_pool_calloc_untyped)
 * gives one, under way by the caller until its first write_end, but carrying
 * pool_id instead of a drawn one: for a process that copies objects from
 * another pool and keeps their ids. The pool's id counter is raised to
 * pool_id, so that ids drawn later never meet it; an id from
 * ZIM_SHM_POOL_LOCAL_IDS on, which no pool ever draws, is the copier's own
 * (its blocks of its own: they never meet the copied ids) and raises nothing. Null with errno
 * EINVAL for a pool_id of 0 or no versioned pool mapped, EEXIST when a live object of the pool has
 * pool_id, EPERM when another process holds the pool's writes, ENOMEM when the pool has no room (or
 * refuses the block as the calloc does). An id above every id the pool has given is taken at once;
 * an id at or below it costs one walk of the pool's blocks under the pool's lock (time linear in
 * the blocks made), for a copier whose creations arrive out of order; an
 * object made again at another size costs no walk through
 * zim_shm_pool_replace_object. */
#define ZIM_SHM_POOL_LOCAL_IDS (UINT64_C(1) << 63)
ZIM_SIM_API void *zim_shm_pool_alloc_with_id(uint32_t table_id, uint64_t size, uint64_t pool_id);

/* zim_shm_pool_alloc_with_id for a table id (not ZIM_SHM_POOL_UNTYPED) with
 * the layout its maker received: layout_text, text_size bytes, is the type's
 * layout record (zim_shm_pool_layout_record_t's text) and fingerprint its
 * fingerprint. A program that carries no layout note of table_id uses it as
 * its note: the id's first object in the pool brings it as the id's layout
 * record, in the same allocation (a process killed during it leaves neither),
 * and a pool that records another layout of the id refuses the block. A
 * program that carries a note of the id uses the note, and refuses a received
 * layout of another fingerprint. The text is read as outside bytes: null
 * with errno EINVAL, and a line on stderr, when it is empty, longer than the
 * layout codec allows, not a layout record of table_id, or not of
 * fingerprint; nothing is recorded then. Other errors as
 * zim_shm_pool_alloc_with_id. */
ZIM_SIM_API void *zim_shm_pool_alloc_with_layout(uint32_t table_id, uint64_t size, uint64_t pool_id,
                                                 const char *layout_text, uint32_t text_size,
                                                 uint64_t fingerprint);

/* Replaces obj, a live object of a table id in the mapped versioned pool, with
 * a zero-filled block of size bytes of the same table id under the same pool
 * id, in the pool's owner: for a copier whose copied object changed size. It
 * does what zim_shm_pool_retire_object(obj) and then zim_shm_pool_alloc_with_id
 * (or, with layout_text not null, zim_shm_pool_alloc_with_layout with
 * layout_text, text_size and fingerprint) would do, in one transaction under
 * the pool's lock: obj held the pool id, so the id is not looked for among the
 * pool's blocks and the cost does not grow with them. The feed tells obj's
 * retirement; the new block is under way by the caller until its first
 * write_end, which tells it created. Keys that led to obj stay and lead nowhere
 * until put again (the caller's to keep). A process killed during it leaves
 * either obj live or obj retired and the new block (torn) in its place, never
 * both live. The new block, or null with errno, obj then still live: EINVAL
 * without a versioned pool mapped, for obj not a live object of a table id in
 * it (a retired one included), or for a layout text that
 * zim_shm_pool_alloc_with_layout refuses; EPERM in a process that does not own
 * the pool or when another process holds its writes; EBUSY during a
 * migration or an upgrade; ENOMEM when the pool has no room (or refuses the
 * size as the calloc does). Must not race with a migration or retirement of
 * this process. */
ZIM_SIM_API void *zim_shm_pool_replace_object(void *obj, uint64_t size, const char *layout_text,
                                              uint32_t text_size, uint64_t fingerprint);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_POOL_COPIES_H */
