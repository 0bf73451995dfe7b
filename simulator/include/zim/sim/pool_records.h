/* SPDX-License-Identifier: Apache-2.0 */
/* The formats of the pool's own records: the blocks that hold what the pool
 * knows of itself rather than table objects (its configuration, the layout
 * of each table id's objects, the allocation state of the ids, a migration
 * of objects to new layouts). A walk reports them under table ids of their
 * own; every reader of a pool reads them as outside bytes. Apart from the
 * pool's functions, so that a reader includes the formats alone. */
#ifndef ZIM_SIM_POOL_RECORDS_H
#define ZIM_SIM_POOL_RECORDS_H

#include <stdint.h>
#include <zim/tables/table_id.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Table ids run from 0 to ZIM_SHM_POOL_MAX_TABLE_ID; the pool keeps state
 * only for the ids that hold blocks. */
#define ZIM_SHM_POOL_MAX_TABLE_ID ZIM_MAX_TABLE_ID

/* The pool's own records, blocks that a walk reports under these table ids.
 * Each lies in a run of its own, never in a table id's chunk. */
#define ZIM_SHM_POOL_CONFIG (UINT32_MAX - 2)  /* zim_shm_pool_config_t, one per pool */
#define ZIM_SHM_POOL_LAYOUT (UINT32_MAX - 3)  /* zim_shm_pool_layout_record_t, one per id */
#define ZIM_SHM_POOL_ID_PAGE (UINT32_MAX - 4) /* allocation state of 256 table ids */
#define ZIM_SHM_POOL_MIGRATION \
  (UINT32_MAX - 5) /* zim_shm_pool_migration_t, while one is under way */

/* The configuration the pool was made for, written by its creator from its
 * own (zim/sim/config.h): the number of NPUs, the NPD size of every table id
 * without an entry of its own, and the entries, ascending by table id. */
typedef struct zim_shm_pool_config_entry {
  uint32_t table_id;
  uint32_t size;
} zim_shm_pool_config_entry_t;
typedef struct zim_shm_pool_config {
  uint32_t max_num_npus;
  uint32_t default_npd_size;
  uint32_t entry_count;
  uint32_t reserved; /* 0 */
  zim_shm_pool_config_entry_t entries[];
} zim_shm_pool_config_t;

/* The layout of a table id's objects, recorded with the first object of the
 * id in the pool, in the same allocation (a process killed during it leaves
 * neither): the layout note of the program that made it
 * (zim/tables/layout_note.h). text is the type's layout record as the
 * manifest writes it, "type ID NAME\n" first, text_size bytes, no terminating
 * zero. The first pool object of an id in each process checks the program's
 * note against it (see zim_shm_table_pool_calloc); a program that carries no
 * note for the id (built with ZIM_TABLES_NO_LAYOUT_NOTE, or not an ELF
 * program) allocates unchecked and records nothing, so the pool learns that
 * id's layout from the next program that carries a note for it, or from a
 * copier that hands over the layout it received in place of a note
 * (zim_shm_pool_alloc_with_layout, zim/sim/pool_copies.h). */
typedef struct zim_shm_pool_layout_record {
  uint32_t table_id;
  uint32_t text_size;
  uint64_t fingerprint; /* of the layout, as in the note */
  char text[];
} zim_shm_pool_layout_record_t;

/* The record of a migration under way, a ZIM_SHM_POOL_MIGRATION block: the
 * header, type_count types, then move_capacity moves (move_count of them
 * made). Blocks of a migrating table id below `carve`, other than those of
 * [cursor, limit) of its chunk when the migration began, are of its old
 * layout; the rest of its blocks are of the new one. A completed migration
 * leaves its record and each id's old layout record as retired blocks. */
#define ZIM_SHM_POOL_MIGRATING 1u /* converting: no other process may attach */
#define ZIM_SHM_POOL_MIGRATED 2u  /* every object converted, the moves being reported */
typedef struct zim_shm_pool_migration_type {
  uint32_t table_id;
  uint32_t reserved; /* 0 */
  uint64_t old_fingerprint;
  uint64_t new_fingerprint;
  uint64_t new_layout; /* offset of the new layout's ZIM_SHM_POOL_LAYOUT record */
  uint64_t cursor;     /* the id's chunk when the migration began */
  uint64_t limit;
} zim_shm_pool_migration_type_t;
typedef struct zim_shm_pool_move {
  uint64_t old_offset;
  uint64_t new_offset;
  uint32_t table_id;
  uint32_t reserved; /* 0 */
} zim_shm_pool_move_t;
typedef struct zim_shm_pool_migration {
  uint32_t state; /* ZIM_SHM_POOL_MIGRATING or ZIM_SHM_POOL_MIGRATED */
  uint32_t type_count;
  uint64_t carve;
  uint64_t move_capacity;
  uint64_t move_count;
} zim_shm_pool_migration_t;

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_POOL_RECORDS_H */
