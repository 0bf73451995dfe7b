/* Generated from defs/268_olist.tdef by zim_tablegen; do not edit. */
#ifndef ZIM_TABLES_OLIST_H
#define ZIM_TABLES_OLIST_H

#include <stdint.h>

#include "zim/tables/accessors.h"
#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"
#include "zim/tables/whole_reads.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A table object of type olist (table id 268): a pointer to its first byte. */
typedef struct qor_olist_obj *qor_olist_obj_st;
typedef struct qor_olist_obj *srv_olist_t;

#define ZIM_TABLE_ID_OLIST 268u
#define ZIM_FIXED_SIZE_OLIST 296u

/* Layout of objects of type olist, in bytes from an object's first byte.
 * The type header's fields in copy order; then each data field in definition order, known by
 * its name or number: an inline field has OFFSET, WIDTH (bytes per field),
 * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN
 * presence flags); an array field has PTR and FLAGS_PTR (where its data and
 * flag pointers lie), ELEM_SIZE and KIND. */
#define ZIM_OLIST_NUM_HEADER_FIELDS 3u
#define ZIM_OLIST_HEADER_0_OFFSET 192u
#define ZIM_OLIST_HEADER_0_WIDTH 4u
#define ZIM_OLIST_HEADER_1_OFFSET 196u
#define ZIM_OLIST_HEADER_1_WIDTH 4u
#define ZIM_OLIST_HEADER_2_OFFSET 200u
#define ZIM_OLIST_HEADER_2_WIDTH 4u
#define ZIM_OLIST_COUNT_OFFSET 200u /* u32 count */
#define ZIM_OLIST_NUM_FIELDS 6u
#define ZIM_OLIST_FIELD_0_OFFSET 208u /* 208:8x2 */
#define ZIM_OLIST_FIELD_0_WIDTH 8u
#define ZIM_OLIST_FIELD_0_RUN 2u
#define ZIM_OLIST_FIELD_0_FLAG 264u
#define ZIM_OLIST_FIELD_1_OFFSET 224u /* 224:4x2 */
#define ZIM_OLIST_FIELD_1_WIDTH 4u
#define ZIM_OLIST_FIELD_1_RUN 2u
#define ZIM_OLIST_FIELD_1_FLAG 266u
#define ZIM_OLIST_FIELD_2_PTR 232u /* 232:8xC */
#define ZIM_OLIST_FIELD_2_FLAGS_PTR 272u
#define ZIM_OLIST_FIELD_2_ELEM_SIZE 8u
#define ZIM_OLIST_FIELD_2_KIND ZIM_ARRAY_COUNTED
#define ZIM_OLIST_FIELD_3_PTR 240u /* 240:8xC */
#define ZIM_OLIST_FIELD_3_FLAGS_PTR 280u
#define ZIM_OLIST_FIELD_3_ELEM_SIZE 8u
#define ZIM_OLIST_FIELD_3_KIND ZIM_ARRAY_COUNTED
#define ZIM_OLIST_FIELD_4_OFFSET 248u /* 248:4 */
#define ZIM_OLIST_FIELD_4_WIDTH 4u
#define ZIM_OLIST_FIELD_4_RUN 1u
#define ZIM_OLIST_FIELD_4_FLAG 288u
#define ZIM_OLIST_FIELD_5_OFFSET 256u /* 256:8 */
#define ZIM_OLIST_FIELD_5_WIDTH 8u
#define ZIM_OLIST_FIELD_5_RUN 1u
#define ZIM_OLIST_FIELD_5_FLAG 289u
#define ZIM_OLIST_FLAGS_AREA_OFFSET 264u
#define ZIM_OLIST_NPD_PRESENT_OFFSET 290u

/* Where the allocator places the NPD area and each array's element storage
 * and element flags in an object made for n NPUs, an NPD size of npd_size
 * bytes and count elements per counted array: uint64_t offsets from the
 * object's first byte. A counted array has no storage when count is 0; its
 * pointers are then null. OBJECT_SIZE is the first byte after the dynamic
 * area; total_obj_size holds it as a 32-bit number. */
#define ZIM_OLIST_DYNAMIC_OFFSET(npd_size) (296u + (uint64_t)(npd_size))
#define ZIM_OLIST_FIELD_2_STORAGE_OFFSET(n, npd_size, count) (296u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 0u * (uint64_t)(count))
#define ZIM_OLIST_FIELD_2_FLAGS_OFFSET(n, npd_size, count) (296u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 8u * (uint64_t)(count))
#define ZIM_OLIST_FIELD_3_STORAGE_OFFSET(n, npd_size, count) (296u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 9u * (uint64_t)(count))
#define ZIM_OLIST_FIELD_3_FLAGS_OFFSET(n, npd_size, count) (296u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 17u * (uint64_t)(count))
#define ZIM_OLIST_OBJECT_SIZE(n, npd_size, count) (296u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 18u * (uint64_t)(count))

/* The header and data fields as X-macro lists: X(OLIST, name or number) for each,
 * to build code over every field from the constants above. */
#define ZIM_OLIST_HEADER_FIELDS(X) X(OLIST, 0) X(OLIST, 1) X(OLIST, 2)
#define ZIM_OLIST_INLINE_FIELDS(X) X(OLIST, 0) X(OLIST, 1) X(OLIST, 4) X(OLIST, 5)
#define ZIM_OLIST_ARRAY_FIELDS(X) X(OLIST, 2) X(OLIST, 3)

/* Ownership: a server object from qor_srv_olist_ctor is a heap block that its
 * creator frees with free(); a heap copy from zim_olist_copy_ctor or
 * zim_olist_snapshot is released with zim_olist_clnt_copy_dtor; objects and copies made _with_shm live in the
 * shared-memory pool and are never released singly. Allocation failures and
 * failed layout checks end the process with an assertion report. */

ZIM_TABLES_API void qor_olist_fix_ptrs(uint32_t npd_size, qor_olist_obj_st obj_inst);
ZIM_TABLES_API void zim_olist_fix_ptrs_from_base(qor_olist_obj_st obj_inst);
ZIM_TABLES_API void qor_olist_add_dynamic_to_obj_size(uint32_t *obj_size_ptr, uint32_t count);
ZIM_TABLES_API uint32_t qor_olist_get_obj_size(uint32_t count);
ZIM_TABLES_API zim_wisp_enums_t zim_olist_get_wisp_enums(void);
ZIM_TABLES_API void qor_olist_read_dbobj(qor_olist_obj_st src, qor_olist_obj_st dst);
ZIM_TABLES_API void qor_olist_write_dbobj_base(qor_olist_obj_st src, qor_olist_obj_st dst);
ZIM_TABLES_API void qor_olist_read_dbobj_base(qor_olist_obj_st src, qor_olist_obj_st dst);
ZIM_TABLES_API srv_olist_t qor_srv_olist_ctor(uint32_t count);
ZIM_TABLES_API srv_olist_t zim_srv_olist_ctor_with_shm(uint32_t count);
ZIM_TABLES_API srv_olist_t zim_olist_copy_ctor(qor_olist_obj_st src);
ZIM_TABLES_API srv_olist_t zim_olist_copy_ctor_with_shm(qor_olist_obj_st src);
ZIM_TABLES_API void zim_olist_clnt_copy_dtor(qor_olist_obj_st obj_inst);

/* One try of zim_olist_snapshot_with_version at a version of an object of the
 * mapped versioned pool: 1 when the snapshot is done (*copy the copy, or null
 * with errno set), 0 when a write overlapped the try. */
ZIM_TABLES_INLINE int zim_olist_snapshot_try(qor_olist_obj_st obj, uint64_t *version, uint32_t npd_size,
                                     zim_tables_whole_t at, qor_olist_obj_st *copy) {
  const uint64_t header_bytes =
      (ZIM_OLIST_COUNT_OFFSET > ZIM_OBJ_TOTAL_SIZE_OFFSET ? ZIM_OLIST_COUNT_OFFSET : ZIM_OBJ_TOTAL_SIZE_OFFSET) + 4u;
  *copy = NULL;
  if (!ZIM_TABLES_WHOLE_FOUND(at, header_bytes, "zim_olist_snapshot_with_version")) return 1;
  const uint32_t count = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OLIST_COUNT_OFFSET));
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_OLIST_OBJECT_SIZE(0u, npd_size, count);
  const zim_tables_try_t sizes =
      ZIM_TABLES_WHOLE_SIZES(obj, at, size, layout_size, header_bytes, "zim_olist_snapshot_with_version");
  if (sizes != ZIM_TABLES_TRY_COPY) return sizes == ZIM_TABLES_TRY_DONE;
  uint8_t *bytes;
  if (!zim_tables_whole_copy(&bytes, obj, at, size, ZIM_OLIST_COUNT_OFFSET, count, version)) return 0;
  *copy = (qor_olist_obj_st)bytes;
  if (bytes != NULL) qor_olist_fix_ptrs(npd_size, *copy);
  return 1;
}

/* zim_olist_snapshot_with_version's tries after the first, until one is whole. */
ZIM_TABLES_RETRIES qor_olist_obj_st zim_olist_snapshot_again(qor_olist_obj_st obj, uint64_t *version, uint32_t npd_size) {
  qor_olist_obj_st copy;
  uint32_t tries = 2;
  while (!zim_olist_snapshot_try(obj, version, npd_size, zim_tables_whole_again(obj, tries), &copy)) ++tries;
  return copy;
}

/* zim_olist_snapshot_with_version of an object of the mapped versioned pool. */
ZIM_TABLES_OUT_OF_LINE qor_olist_obj_st zim_olist_snapshot_whole(qor_olist_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_OLIST, "zim_olist_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  qor_olist_obj_st copy;
  if (zim_olist_snapshot_try(obj, version, npd_size, zim_tables_whole_first(obj), &copy)) return copy;
  return zim_olist_snapshot_again(obj, version, npd_size);
}

/* zim_olist_snapshot_with_version of any other object: copied once, as it stands. */
ZIM_TABLES_OUT_OF_LINE qor_olist_obj_st zim_olist_snapshot_as_is(qor_olist_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_OLIST, "zim_olist_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  if (version != NULL) *version = 0;
  const uint32_t count = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OLIST_COUNT_OFFSET));
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_OLIST_OBJECT_SIZE(0u, npd_size, count);
  ZIM_TABLES_CHECK_SNAPSHOT_SIZE(size, layout_size, "zim_olist_snapshot_with_version");
  qor_olist_obj_st copy = (qor_olist_obj_st)zim_tables_snapshot_bytes(obj, size, ZIM_OLIST_COUNT_OFFSET, count);
  if (copy != NULL) qor_olist_fix_ptrs(npd_size, copy);
  return copy;
}

/* A snapshot of obj: its total_obj_size bytes in a new heap block with the
 * pointers fixed for the block, for reading an object without writing a byte
 * of it (a pool object that another process owns, mapped here at another
 * address). Null when malloc fails (ENOMEM); release it with
 * zim_olist_clnt_copy_dtor. Snapshots print nothing.
 *
 * An object of the mapped versioned pool is copied whole, at an even version,
 * while its writer goes on: a try that a write overlapped is made again. Null
 * with errno EBUSY when a live writer's write, or the writes that keep coming,
 * outlast ZIM_SHM_POOL_WRITE_BOUND_US; EOWNERDEAD when its writer died inside
 * a write and left it torn; EINVAL when obj lies in the pool but is not a live
 * object there. No read passes the object's block in the pool. Any other
 * object (heap, a pool without versions) is copied as it stands: keep its
 * writers away meanwhile.
 *
 * The count and total_obj_size are read once per try: unless the size is
 * what the count, N and the NPD size give, and fits the object's block, the
 * process ends with a report naming the snapshot before anything is copied;
 * in a versioned pool only when the try was whole (a write's half-made
 * change is retried, never reported). *version, when not null, gets the
 * even version copied, or 0 for an object without one. */
static inline qor_olist_obj_st zim_olist_snapshot_with_version(qor_olist_obj_st obj, uint64_t *version) {
  if (zim_tables_in_versioned_pool(obj)) return zim_olist_snapshot_whole(obj, version);
  return zim_olist_snapshot_as_is(obj, version);
}

/* zim_olist_snapshot_with_version without the version. */
static inline qor_olist_obj_st zim_olist_snapshot(qor_olist_obj_st obj) {
  return zim_olist_snapshot_with_version(obj, NULL);
}

/* Accessors of every data field: zim_olist_get_<f>, _set_<f>, _has_<f> and
 * _clear_<f>, with an index i for a run of fields or an array element, and
 * zim_olist_<f>_length for an array (the object's count, or N). <f> is the
 * field's name or field_<number>. Values of 1, 2, 4 or 8 bytes pass as
 * uint8_t to uint64_t; wider ones as bytes: get returns their address, set
 * copies the field's width from value. set writes the value, then its flag
 * with release ordering; has reads the flag with acquire ordering; clear
 * zeroes it; get ignores it. Each checks first that obj is not null and of
 * table id 268, that an index lies inside the run or the array, and
 * that an array element and flag lie inside obj's total_obj_size bytes; a
 * failed check ends the process with an assertion report naming the accessor,
 * before anything is read or written, whether or not NDEBUG is set. In a
 * versioned pool, set and clear also end it so outside this process's open
 * write of obj (zim_shm_pool_write_begin to _end, or from its allocation to
 * its first write_end); they never open one themselves. Arrays
 * are reached through the object's own pointers: fix them after a move first,
 * or read a snapshot. */

/* 0: 208:8x2 */
static inline uint64_t zim_olist_get_field_0(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_0_RUN);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_OLIST_FIELD_0_OFFSET + ZIM_OLIST_FIELD_0_WIDTH * (uint64_t)i));
}
static inline void zim_olist_set_field_0(qor_olist_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_0_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_OLIST_FIELD_0_OFFSET + ZIM_OLIST_FIELD_0_WIDTH * (uint64_t)i), &value, 8u, zim_tables_at(obj, ZIM_OLIST_FIELD_0_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_olist_has_field_0(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_0_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_OLIST_FIELD_0_FLAG + (uint64_t)i));
}
static inline void zim_olist_clear_field_0(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_0_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_OLIST_FIELD_0_FLAG + (uint64_t)i));
}

/* 1: 224:4x2 */
static inline uint32_t zim_olist_get_field_1(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_1_RUN);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_OLIST_FIELD_1_OFFSET + ZIM_OLIST_FIELD_1_WIDTH * (uint64_t)i));
}
static inline void zim_olist_set_field_1(qor_olist_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_1_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_OLIST_FIELD_1_OFFSET + ZIM_OLIST_FIELD_1_WIDTH * (uint64_t)i), &value, 4u, zim_tables_at(obj, ZIM_OLIST_FIELD_1_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_olist_has_field_1(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_1_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_OLIST_FIELD_1_FLAG + (uint64_t)i));
}
static inline void zim_olist_clear_field_1(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_OLIST_FIELD_1_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_OLIST_FIELD_1_FLAG + (uint64_t)i));
}

/* 2: 232:8xC */
static inline uint32_t zim_olist_field_2_length(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_OLIST_COUNT_OFFSET));
}
static inline uint64_t zim_olist_get_field_2(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_2_length(obj));
  return zim_tables_load_u64(ZIM_TABLES_ELEMENT(obj, ZIM_OLIST_FIELD_2_PTR, ZIM_OLIST_FIELD_2_ELEM_SIZE, i));
}
static inline void zim_olist_set_field_2(qor_olist_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_2_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_OLIST_FIELD_2_PTR, ZIM_OLIST_FIELD_2_ELEM_SIZE, i), &value, 8u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_OLIST_FIELD_2_FLAGS_PTR, i));
}
static inline zim_bool_t zim_olist_has_field_2(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_2_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_OLIST_FIELD_2_FLAGS_PTR, i));
}
static inline void zim_olist_clear_field_2(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_2_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_OLIST_FIELD_2_FLAGS_PTR, i));
}

/* 3: 240:8xC */
static inline uint32_t zim_olist_field_3_length(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_OLIST_COUNT_OFFSET));
}
static inline uint64_t zim_olist_get_field_3(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_3_length(obj));
  return zim_tables_load_u64(ZIM_TABLES_ELEMENT(obj, ZIM_OLIST_FIELD_3_PTR, ZIM_OLIST_FIELD_3_ELEM_SIZE, i));
}
static inline void zim_olist_set_field_3(qor_olist_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_3_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_OLIST_FIELD_3_PTR, ZIM_OLIST_FIELD_3_ELEM_SIZE, i), &value, 8u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_OLIST_FIELD_3_FLAGS_PTR, i));
}
static inline zim_bool_t zim_olist_has_field_3(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_3_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_OLIST_FIELD_3_FLAGS_PTR, i));
}
static inline void zim_olist_clear_field_3(qor_olist_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_INDEX(i, zim_olist_field_3_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_OLIST_FIELD_3_FLAGS_PTR, i));
}

/* 4: 248:4 */
static inline uint32_t zim_olist_get_field_4(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_OLIST_FIELD_4_OFFSET));
}
static inline void zim_olist_set_field_4(qor_olist_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_OLIST_FIELD_4_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_OLIST_FIELD_4_FLAG));
}
static inline zim_bool_t zim_olist_has_field_4(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_OLIST_FIELD_4_FLAG));
}
static inline void zim_olist_clear_field_4(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_OLIST_FIELD_4_FLAG));
}

/* 5: 256:8 */
static inline uint64_t zim_olist_get_field_5(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_OLIST_FIELD_5_OFFSET));
}
static inline void zim_olist_set_field_5(qor_olist_obj_st obj, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_OLIST_FIELD_5_OFFSET), &value, 8u, zim_tables_at(obj, ZIM_OLIST_FIELD_5_FLAG));
}
static inline zim_bool_t zim_olist_has_field_5(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_OLIST_FIELD_5_FLAG));
}
static inline void zim_olist_clear_field_5(qor_olist_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_OLIST);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_OLIST_FIELD_5_FLAG));
}

#ifdef __cplusplus
}

#include "zim/tables/handles.hpp"

/* What the owning handles of zim/tables/handles.hpp call for type olist. */
namespace zim_tables {
template <>
struct TypeOps<qor_olist_obj> {
  static qor_olist_obj *make(uint32_t count) { return qor_srv_olist_ctor(count); }
  static qor_olist_obj *copy(qor_olist_obj *src) { return zim_olist_copy_ctor(src); }
  static qor_olist_obj *snapshot(qor_olist_obj *obj, uint64_t *version) {
    return zim_olist_snapshot_with_version(obj, version);
  }
  static void release(qor_olist_obj *obj) { zim_olist_clnt_copy_dtor(obj); }
};
}  // namespace zim_tables
#endif

/* The layout note (zim/tables/layout_note.h): this type's layout record, for
 * the pools shared with processes built from other definitions to compare. */
#if defined(__ELF__) && !defined(ZIM_TABLES_NO_LAYOUT_NOTE)
__asm__(".pushsection .note.zim_tables.layout,\"aGR\",%note,zim_tables_layout.olist.9a6a385a4c63dda6,comdat\n"
        " .balign 4\n .long 11\n .long 5f - 4f\n .long 0x7a4c0001\n .asciz \"zim_tables\"\n"
        " .balign 4\n4:\n .long 1\n .long 268\n .long 0x4c63dda6\n .long 0x9a6a385a\n"
        " .long 3f - 2f\n2:\n"
        " .ascii \"type 268 olist\\n\"\n"
        " .ascii \"  fingerprint 9a6a385a4c63dda6\\n\"\n"
        " .ascii \"  class counted\\n\"\n"
        " .ascii \"  fixed_size 296\\n\"\n"
        " .ascii \"  count_param on 200\\n\"\n"
        " .ascii \"  size_check on\\n\"\n"
        " .ascii \"  obj_flags_bit5 clear\\n\"\n"
        " .ascii \"  header 192:4 196:4 200:4\\n\"\n"
        " .ascii \"  field 208 width 8 run 2 flag 264\\n\"\n"
        " .ascii \"  field 224 width 4 run 2 flag 266\\n\"\n"
        " .ascii \"  array 232 counted elem 8 flag_ptr 272\\n\"\n"
        " .ascii \"  array 240 counted elem 8 flag_ptr 280\\n\"\n"
        " .ascii \"  field 248 width 4 run 1 flag 288\\n\"\n"
        " .ascii \"  field 256 width 8 run 1 flag 289\\n\"\n"
        " .ascii \"  npd_present 290\\n\"\n"
        " .ascii \"  dynamic 232 240\\n\"\n"
        " .ascii \"  check fix_ptrs 67 \\\"void qor_olist_fix_ptrs(uint32_t, qor_olist_obj_st)\\\"\\n\"\n"
        " .ascii \"  check size_ptr 89 \\\"void qor_olist_add_dynamic_to_obj_size(uint32_t *, uint32_t)\\\"\\n\"\n"
        " .ascii \"  check alloc 256 \\\"srv_olist_t olist_srv_alloc(uint32_t, zim_bool_t)\\\"\\n\"\n"
        " .ascii \"  wisp 785 786 787 785 786 787\\n\"\n"
        "3:\n .balign 4\n5:\n .popsection\n");
#endif

#endif /* ZIM_TABLES_OLIST_H */
