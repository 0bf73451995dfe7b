/* SPDX-License-Identifier: Apache-2.0 */
/* Conversion of live table objects from one layout of their type to another
 * (libzim_table_migration, a library of its own beside libzim_tables).
 *
 * A server's next version may lay a type's objects out otherwise: a field
 * added, moved, widened or renamed, an array's elements grown. Its pool still
 * holds objects of the old layout. A plan, made once per table id from the
 * two layouts' records, turns each old object into one that the new
 * version's operations read as if its own constructor had made it and its
 * fields had been set one by one: every value and presence flag carried,
 * zero-extended where a field or element grew, added fields absent (flag 0),
 * removed fields dropped.
 *
 * Layout records: the text of a type's layout record, as the layout manifest
 * writes it ("type ID NAME\n" up to its "wisp" line, no terminating zero
 * needed). A program carries its own in its layout notes
 * (zim/tables/layout_note.h); the simulated pool keeps the layout its
 * objects were made with in zim_shm_pool_layout_record_t, and
 * zim_shm_pool_migrate drives this library over the whole pool. A real
 * platform's pool keeps them wherever it keeps its per-type state; it passes
 * the two texts, sizes and places each new object itself (a block of
 * zim_table_migration_new_size bytes, zero-filled), converts into it and
 * retires the old object, in whatever crash-safe order its pool needs.
 *
 * Every old object is hostile input: for any bytes, the library reads only
 * [old_obj, old_obj + old_bytes) and writes only [to, to + new_size). A plan
 * is read-only once made: any number of threads may use one at once. The
 * caller keeps writers away from the old object while it is converted; old
 * and new object must not overlap. */
#ifndef ZIM_TABLES_MIGRATION_H
#define ZIM_TABLES_MIGRATION_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define ZIM_TABLE_MIGRATION_API __attribute__((visibility("default")))
#else
#define ZIM_TABLE_MIGRATION_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zim_table_migration zim_table_migration_t;

/* Plans converting objects of one table id from layout record `older` to
 * `newer` (texts as zim_shm_pool_layout_record_t holds them), for
 * max_num_npus NPUs and the two NPD sizes (old objects were made with
 * old_npd_size, new ones get new_npd_size; the NPD area is carried only when
 * the two are equal). Null when the records cannot be read or a change
 * cannot be carried: then `why` (why_size bytes, NUL-terminated, truncated)
 * holds one line per refusal, "NAME (table id N): ...", or per unreadable
 * record, "older layout record:LINE: error: ..." (or "newer"). `why` may be
 * null when why_size is 0. Free the plan with zim_table_migration_free. */
ZIM_TABLE_MIGRATION_API zim_table_migration_t *zim_table_migration_plan(
    const char *older, size_t older_size, const char *newer, size_t newer_size,
    uint32_t max_num_npus, uint32_t old_npd_size, uint32_t new_npd_size, char *why,
    size_t why_size);

/* Accepts null. */
ZIM_TABLE_MIGRATION_API void zim_table_migration_free(zim_table_migration_t *plan);

/* Bytes of the object that the old object (old_bytes bytes readable at
 * old_obj) becomes; 0 when the old object is not sound for the old layout
 * (fewer bytes than its fixed size, a count beyond what its bytes hold, a
 * total_obj_size below its layout's size or above old_bytes) or when its new
 * object would not fit total_obj_size's 32 bits. Reads only
 * [old_obj, old_obj + old_bytes). */
ZIM_TABLE_MIGRATION_API uint64_t zim_table_migration_new_size(const zim_table_migration_t *plan,
                                                              const void *old_obj,
                                                              uint64_t old_bytes);

/* Writes the new object at `to` (new_size bytes, zero-filled by the caller),
 * laid out for address `to`: as the type's constructor makes one for the old
 * object's count (total_obj_size, data and flag pointers, npd_present, bit 5
 * of obj_flags as the new layout says), then the rest of the old base header
 * (uid included), the type header, every data field with its presence flag,
 * every array element by element with its element flag (zero-extended where
 * wider), the NPD area when its size is unchanged. 0, or -1 with nothing
 * written when new_size is not what zim_table_migration_new_size gives (or
 * that is 0). An object moved after this needs its pointers fixed up as any
 * object does (zim_<type>_fix_ptrs_from_base). */
ZIM_TABLE_MIGRATION_API int zim_table_migration_convert(const zim_table_migration_t *plan,
                                                        const void *old_obj, uint64_t old_bytes,
                                                        void *to, uint64_t new_size);

/* The fields the conversion drops, one line each ("field 3 'x' 216:8"), ""
 * for none. Valid as long as the plan. */
ZIM_TABLE_MIGRATION_API const char *zim_table_migration_dropped(const zim_table_migration_t *plan);

/* Whether the two layouts differ at all (fingerprints): 0 means objects stay
 * as they are and need no conversion. */
ZIM_TABLE_MIGRATION_API int zim_table_migration_changes_objects(const zim_table_migration_t *plan);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_MIGRATION_H */
