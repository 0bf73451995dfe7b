/* Generated from defs/006_testdynhg.tdef by zim_tablegen; do not edit. */
#ifndef ZIM_TABLES_TESTDYNHG_H
#define ZIM_TABLES_TESTDYNHG_H

#include <stdint.h>

#include "zim/tables/accessors.h"
#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"
#include "zim/tables/whole_reads.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A table object of type testdynhg (table id 6): a pointer to its first byte. */
typedef struct qor_testdynhg_obj *qor_testdynhg_obj_st;
typedef struct qor_testdynhg_obj *srv_testdynhg_t;

#define ZIM_TABLE_ID_TESTDYNHG 6u
#define ZIM_FIXED_SIZE_TESTDYNHG 456u

/* Layout of objects of type testdynhg, in bytes from an object's first byte.
 * The type header's fields in copy order; then each data field in definition order, known by
 * its name or number: an inline field has OFFSET, WIDTH (bytes per field),
 * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN
 * presence flags); an array field has PTR and FLAGS_PTR (where its data and
 * flag pointers lie), ELEM_SIZE and KIND. */
#define ZIM_TESTDYNHG_NUM_HEADER_FIELDS 3u
#define ZIM_TESTDYNHG_HEADER_0_OFFSET 192u
#define ZIM_TESTDYNHG_HEADER_0_WIDTH 4u
#define ZIM_TESTDYNHG_HEADER_1_OFFSET 196u
#define ZIM_TESTDYNHG_HEADER_1_WIDTH 4u
#define ZIM_TESTDYNHG_HEADER_2_OFFSET 200u
#define ZIM_TESTDYNHG_HEADER_2_WIDTH 4u
#define ZIM_TESTDYNHG_COUNT_OFFSET 200u /* u32 count */
#define ZIM_TESTDYNHG_NUM_FIELDS 15u
#define ZIM_TESTDYNHG_FIELD_0_OFFSET 204u /* 204:4x3 */
#define ZIM_TESTDYNHG_FIELD_0_WIDTH 4u
#define ZIM_TESTDYNHG_FIELD_0_RUN 3u
#define ZIM_TESTDYNHG_FIELD_0_FLAG 344u
#define ZIM_TESTDYNHG_FIELD_1_OFFSET 216u /* 216:1x2 */
#define ZIM_TESTDYNHG_FIELD_1_WIDTH 1u
#define ZIM_TESTDYNHG_FIELD_1_RUN 2u
#define ZIM_TESTDYNHG_FIELD_1_FLAG 347u
#define ZIM_TESTDYNHG_FIELD_2_OFFSET 220u /* 220:4 */
#define ZIM_TESTDYNHG_FIELD_2_WIDTH 4u
#define ZIM_TESTDYNHG_FIELD_2_RUN 1u
#define ZIM_TESTDYNHG_FIELD_2_FLAG 349u
#define ZIM_TESTDYNHG_FIELD_3_OFFSET 224u /* 224:8x4 */
#define ZIM_TESTDYNHG_FIELD_3_WIDTH 8u
#define ZIM_TESTDYNHG_FIELD_3_RUN 4u
#define ZIM_TESTDYNHG_FIELD_3_FLAG 350u
#define ZIM_TESTDYNHG_FIELD_4_PTR 256u /* 256:4xC */
#define ZIM_TESTDYNHG_FIELD_4_FLAGS_PTR 360u
#define ZIM_TESTDYNHG_FIELD_4_ELEM_SIZE 4u
#define ZIM_TESTDYNHG_FIELD_4_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_5_PTR 264u /* 264:4xC */
#define ZIM_TESTDYNHG_FIELD_5_FLAGS_PTR 368u
#define ZIM_TESTDYNHG_FIELD_5_ELEM_SIZE 4u
#define ZIM_TESTDYNHG_FIELD_5_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_6_PTR 272u /* 272:2xC */
#define ZIM_TESTDYNHG_FIELD_6_FLAGS_PTR 376u
#define ZIM_TESTDYNHG_FIELD_6_ELEM_SIZE 2u
#define ZIM_TESTDYNHG_FIELD_6_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_7_PTR 280u /* 280:32xC */
#define ZIM_TESTDYNHG_FIELD_7_FLAGS_PTR 384u
#define ZIM_TESTDYNHG_FIELD_7_ELEM_SIZE 32u
#define ZIM_TESTDYNHG_FIELD_7_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_8_PTR 288u /* 288:2xC */
#define ZIM_TESTDYNHG_FIELD_8_FLAGS_PTR 392u
#define ZIM_TESTDYNHG_FIELD_8_ELEM_SIZE 2u
#define ZIM_TESTDYNHG_FIELD_8_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_9_PTR 296u /* 296:2xN */
#define ZIM_TESTDYNHG_FIELD_9_FLAGS_PTR 400u
#define ZIM_TESTDYNHG_FIELD_9_ELEM_SIZE 2u
#define ZIM_TESTDYNHG_FIELD_9_KIND ZIM_ARRAY_PER_NPU
#define ZIM_TESTDYNHG_FIELD_10_OFFSET 304u /* 304:8 */
#define ZIM_TESTDYNHG_FIELD_10_WIDTH 8u
#define ZIM_TESTDYNHG_FIELD_10_RUN 1u
#define ZIM_TESTDYNHG_FIELD_10_FLAG 408u
#define ZIM_TESTDYNHG_FIELD_11_PTR 312u /* 312:8xC */
#define ZIM_TESTDYNHG_FIELD_11_FLAGS_PTR 416u
#define ZIM_TESTDYNHG_FIELD_11_ELEM_SIZE 8u
#define ZIM_TESTDYNHG_FIELD_11_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_12_PTR 320u /* 320:4xC */
#define ZIM_TESTDYNHG_FIELD_12_FLAGS_PTR 424u
#define ZIM_TESTDYNHG_FIELD_12_ELEM_SIZE 4u
#define ZIM_TESTDYNHG_FIELD_12_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_13_PTR 328u /* 328:8xC */
#define ZIM_TESTDYNHG_FIELD_13_FLAGS_PTR 432u
#define ZIM_TESTDYNHG_FIELD_13_ELEM_SIZE 8u
#define ZIM_TESTDYNHG_FIELD_13_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FIELD_14_PTR 336u /* 336:4xC */
#define ZIM_TESTDYNHG_FIELD_14_FLAGS_PTR 440u
#define ZIM_TESTDYNHG_FIELD_14_ELEM_SIZE 4u
#define ZIM_TESTDYNHG_FIELD_14_KIND ZIM_ARRAY_COUNTED
#define ZIM_TESTDYNHG_FLAGS_AREA_OFFSET 344u
#define ZIM_TESTDYNHG_NPD_PRESENT_OFFSET 448u

/* Where the allocator places the NPD area and each array's element storage
 * and element flags in an object made for n NPUs, an NPD size of npd_size
 * bytes and count elements per counted array: uint64_t offsets from the
 * object's first byte. A counted array has no storage when count is 0; its
 * pointers are then null. OBJECT_SIZE is the first byte after the dynamic
 * area; total_obj_size holds it as a 32-bit number. */
#define ZIM_TESTDYNHG_DYNAMIC_OFFSET(npd_size) (456u + (uint64_t)(npd_size))
#define ZIM_TESTDYNHG_FIELD_4_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 0u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_4_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 4u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_5_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 5u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_5_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 9u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_6_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 10u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_6_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 12u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_7_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 13u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_7_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 45u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_8_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 46u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_8_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 48u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_9_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 49u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_9_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 2u * (uint64_t)(n) + 49u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_11_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 49u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_11_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 57u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_12_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 58u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_12_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 62u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_13_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 63u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_13_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 71u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_14_STORAGE_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 72u * (uint64_t)(count))
#define ZIM_TESTDYNHG_FIELD_14_FLAGS_OFFSET(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 76u * (uint64_t)(count))
#define ZIM_TESTDYNHG_OBJECT_SIZE(n, npd_size, count) (456u + (uint64_t)(npd_size) + 3u * (uint64_t)(n) + 77u * (uint64_t)(count))

/* The header and data fields as X-macro lists: X(TESTDYNHG, name or number) for each,
 * to build code over every field from the constants above. */
#define ZIM_TESTDYNHG_HEADER_FIELDS(X) X(TESTDYNHG, 0) X(TESTDYNHG, 1) X(TESTDYNHG, 2)
#define ZIM_TESTDYNHG_INLINE_FIELDS(X) X(TESTDYNHG, 0) X(TESTDYNHG, 1) X(TESTDYNHG, 2) X(TESTDYNHG, 3) X(TESTDYNHG, 10)
#define ZIM_TESTDYNHG_ARRAY_FIELDS(X) X(TESTDYNHG, 4) X(TESTDYNHG, 5) X(TESTDYNHG, 6) X(TESTDYNHG, 7) X(TESTDYNHG, 8) X(TESTDYNHG, 9) X(TESTDYNHG, 11) X(TESTDYNHG, 12) X(TESTDYNHG, 13) X(TESTDYNHG, 14)

/* Ownership: a server object from qor_srv_testdynhg_ctor is a heap block that its
 * creator frees with free(); a heap copy from zim_testdynhg_copy_ctor or
 * zim_testdynhg_snapshot is released with zim_testdynhg_clnt_copy_dtor; objects and copies made _with_shm live in the
 * shared-memory pool and are never released singly. Allocation failures and
 * failed layout checks end the process with an assertion report. */

ZIM_TABLES_API void qor_testdynhg_fix_ptrs(uint32_t npd_size, qor_testdynhg_obj_st obj_inst);
ZIM_TABLES_API void zim_testdynhg_fix_ptrs_from_base(qor_testdynhg_obj_st obj_inst);
ZIM_TABLES_API void qor_testdynhg_add_dynamic_to_obj_size(uint32_t *obj_size_ptr, uint32_t count);
ZIM_TABLES_API uint32_t qor_testdynhg_get_obj_size(uint32_t count);
ZIM_TABLES_API zim_wisp_enums_t zim_testdynhg_get_wisp_enums(void);
ZIM_TABLES_API void qor_testdynhg_read_dbobj(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst);
ZIM_TABLES_API void qor_testdynhg_write_dbobj_base(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst);
ZIM_TABLES_API void qor_testdynhg_read_dbobj_base(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst);
ZIM_TABLES_API srv_testdynhg_t qor_srv_testdynhg_ctor(uint32_t count);
ZIM_TABLES_API srv_testdynhg_t zim_srv_testdynhg_ctor_with_shm(uint32_t count);
ZIM_TABLES_API srv_testdynhg_t zim_testdynhg_copy_ctor(qor_testdynhg_obj_st src);
ZIM_TABLES_API srv_testdynhg_t zim_testdynhg_copy_ctor_with_shm(qor_testdynhg_obj_st src);
ZIM_TABLES_API void zim_testdynhg_clnt_copy_dtor(qor_testdynhg_obj_st obj_inst);

/* One try of zim_testdynhg_snapshot_with_version at a version of an object of the
 * mapped versioned pool: 1 when the snapshot is done (*copy the copy, or null
 * with errno set), 0 when a write overlapped the try. */
ZIM_TABLES_INLINE int zim_testdynhg_snapshot_try(qor_testdynhg_obj_st obj, uint64_t *version, uint32_t npd_size,
                                     zim_tables_whole_t at, qor_testdynhg_obj_st *copy) {
  const uint64_t header_bytes =
      (ZIM_TESTDYNHG_COUNT_OFFSET > ZIM_OBJ_TOTAL_SIZE_OFFSET ? ZIM_TESTDYNHG_COUNT_OFFSET : ZIM_OBJ_TOTAL_SIZE_OFFSET) + 4u;
  *copy = NULL;
  if (!ZIM_TABLES_WHOLE_FOUND(at, header_bytes, "zim_testdynhg_snapshot_with_version")) return 1;
  const uint32_t count = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_TESTDYNHG_OBJECT_SIZE(hulcon_config_get_max_num_npus(), npd_size, count);
  const zim_tables_try_t sizes =
      ZIM_TABLES_WHOLE_SIZES(obj, at, size, layout_size, header_bytes, "zim_testdynhg_snapshot_with_version");
  if (sizes != ZIM_TABLES_TRY_COPY) return sizes == ZIM_TABLES_TRY_DONE;
  uint8_t *bytes;
  if (!zim_tables_whole_copy(&bytes, obj, at, size, ZIM_TESTDYNHG_COUNT_OFFSET, count, version)) return 0;
  *copy = (qor_testdynhg_obj_st)bytes;
  if (bytes != NULL) qor_testdynhg_fix_ptrs(npd_size, *copy);
  return 1;
}

/* zim_testdynhg_snapshot_with_version's tries after the first, until one is whole. */
ZIM_TABLES_RETRIES qor_testdynhg_obj_st zim_testdynhg_snapshot_again(qor_testdynhg_obj_st obj, uint64_t *version, uint32_t npd_size) {
  qor_testdynhg_obj_st copy;
  uint32_t tries = 2;
  while (!zim_testdynhg_snapshot_try(obj, version, npd_size, zim_tables_whole_again(obj, tries), &copy)) ++tries;
  return copy;
}

/* zim_testdynhg_snapshot_with_version of an object of the mapped versioned pool. */
ZIM_TABLES_OUT_OF_LINE qor_testdynhg_obj_st zim_testdynhg_snapshot_whole(qor_testdynhg_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG, "zim_testdynhg_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  qor_testdynhg_obj_st copy;
  if (zim_testdynhg_snapshot_try(obj, version, npd_size, zim_tables_whole_first(obj), &copy)) return copy;
  return zim_testdynhg_snapshot_again(obj, version, npd_size);
}

/* zim_testdynhg_snapshot_with_version of any other object: copied once, as it stands. */
ZIM_TABLES_OUT_OF_LINE qor_testdynhg_obj_st zim_testdynhg_snapshot_as_is(qor_testdynhg_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG, "zim_testdynhg_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_TESTDYNHG);
  if (version != NULL) *version = 0;
  const uint32_t count = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_TESTDYNHG_OBJECT_SIZE(hulcon_config_get_max_num_npus(), npd_size, count);
  ZIM_TABLES_CHECK_SNAPSHOT_SIZE(size, layout_size, "zim_testdynhg_snapshot_with_version");
  qor_testdynhg_obj_st copy = (qor_testdynhg_obj_st)zim_tables_snapshot_bytes(obj, size, ZIM_TESTDYNHG_COUNT_OFFSET, count);
  if (copy != NULL) qor_testdynhg_fix_ptrs(npd_size, copy);
  return copy;
}

/* A snapshot of obj: its total_obj_size bytes in a new heap block with the
 * pointers fixed for the block, for reading an object without writing a byte
 * of it (a pool object that another process owns, mapped here at another
 * address). Null when malloc fails (ENOMEM); release it with
 * zim_testdynhg_clnt_copy_dtor. Snapshots print nothing.
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
static inline qor_testdynhg_obj_st zim_testdynhg_snapshot_with_version(qor_testdynhg_obj_st obj, uint64_t *version) {
  if (zim_tables_in_versioned_pool(obj)) return zim_testdynhg_snapshot_whole(obj, version);
  return zim_testdynhg_snapshot_as_is(obj, version);
}

/* zim_testdynhg_snapshot_with_version without the version. */
static inline qor_testdynhg_obj_st zim_testdynhg_snapshot(qor_testdynhg_obj_st obj) {
  return zim_testdynhg_snapshot_with_version(obj, NULL);
}

/* Accessors of every data field: zim_testdynhg_get_<f>, _set_<f>, _has_<f> and
 * _clear_<f>, with an index i for a run of fields or an array element, and
 * zim_testdynhg_<f>_length for an array (the object's count, or N). <f> is the
 * field's name or field_<number>. Values of 1, 2, 4 or 8 bytes pass as
 * uint8_t to uint64_t; wider ones as bytes: get returns their address, set
 * copies the field's width from value. set writes the value, then its flag
 * with release ordering; has reads the flag with acquire ordering; clear
 * zeroes it; get ignores it. Each checks first that obj is not null and of
 * table id 6, that an index lies inside the run or the array, and
 * that an array element and flag lie inside obj's total_obj_size bytes; a
 * failed check ends the process with an assertion report naming the accessor,
 * before anything is read or written, whether or not NDEBUG is set. In a
 * versioned pool, set and clear also end it so outside this process's open
 * write of obj (zim_shm_pool_write_begin to _end, or from its allocation to
 * its first write_end); they never open one themselves. Arrays
 * are reached through the object's own pointers: fix them after a move first,
 * or read a snapshot. */

/* 0: 204:4x3 */
static inline uint32_t zim_testdynhg_get_field_0(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_0_RUN);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_0_OFFSET + ZIM_TESTDYNHG_FIELD_0_WIDTH * (uint64_t)i));
}
static inline void zim_testdynhg_set_field_0(qor_testdynhg_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_0_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_0_OFFSET + ZIM_TESTDYNHG_FIELD_0_WIDTH * (uint64_t)i), &value, 4u, zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_0_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_testdynhg_has_field_0(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_0_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_0_FLAG + (uint64_t)i));
}
static inline void zim_testdynhg_clear_field_0(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_0_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_0_FLAG + (uint64_t)i));
}

/* 1: 216:1x2 */
static inline uint8_t zim_testdynhg_get_field_1(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_1_RUN);
  return zim_tables_load_u8(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_1_OFFSET + ZIM_TESTDYNHG_FIELD_1_WIDTH * (uint64_t)i));
}
static inline void zim_testdynhg_set_field_1(qor_testdynhg_obj_st obj, uint32_t i, uint8_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_1_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_1_OFFSET + ZIM_TESTDYNHG_FIELD_1_WIDTH * (uint64_t)i), &value, 1u, zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_1_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_testdynhg_has_field_1(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_1_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_1_FLAG + (uint64_t)i));
}
static inline void zim_testdynhg_clear_field_1(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_1_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_1_FLAG + (uint64_t)i));
}

/* 2: 220:4 */
static inline uint32_t zim_testdynhg_get_field_2(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_2_OFFSET));
}
static inline void zim_testdynhg_set_field_2(qor_testdynhg_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_2_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_2_FLAG));
}
static inline zim_bool_t zim_testdynhg_has_field_2(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_2_FLAG));
}
static inline void zim_testdynhg_clear_field_2(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_2_FLAG));
}

/* 3: 224:8x4 */
static inline uint64_t zim_testdynhg_get_field_3(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_3_RUN);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_3_OFFSET + ZIM_TESTDYNHG_FIELD_3_WIDTH * (uint64_t)i));
}
static inline void zim_testdynhg_set_field_3(qor_testdynhg_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_3_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_3_OFFSET + ZIM_TESTDYNHG_FIELD_3_WIDTH * (uint64_t)i), &value, 8u, zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_3_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_testdynhg_has_field_3(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_3_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_3_FLAG + (uint64_t)i));
}
static inline void zim_testdynhg_clear_field_3(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TESTDYNHG_FIELD_3_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_3_FLAG + (uint64_t)i));
}

/* 4: 256:4xC */
static inline uint32_t zim_testdynhg_field_4_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint32_t zim_testdynhg_get_field_4(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_4_length(obj));
  return zim_tables_load_u32(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_4_PTR, ZIM_TESTDYNHG_FIELD_4_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_4(qor_testdynhg_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_4_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_4_PTR, ZIM_TESTDYNHG_FIELD_4_ELEM_SIZE, i), &value, 4u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_4_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_4(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_4_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_4_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_4(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_4_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_4_FLAGS_PTR, i));
}

/* 5: 264:4xC */
static inline uint32_t zim_testdynhg_field_5_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint32_t zim_testdynhg_get_field_5(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_5_length(obj));
  return zim_tables_load_u32(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_5_PTR, ZIM_TESTDYNHG_FIELD_5_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_5(qor_testdynhg_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_5_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_5_PTR, ZIM_TESTDYNHG_FIELD_5_ELEM_SIZE, i), &value, 4u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_5_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_5(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_5_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_5_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_5(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_5_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_5_FLAGS_PTR, i));
}

/* 6: 272:2xC */
static inline uint32_t zim_testdynhg_field_6_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint16_t zim_testdynhg_get_field_6(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_6_length(obj));
  return zim_tables_load_u16(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_6_PTR, ZIM_TESTDYNHG_FIELD_6_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_6(qor_testdynhg_obj_st obj, uint32_t i, uint16_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_6_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_6_PTR, ZIM_TESTDYNHG_FIELD_6_ELEM_SIZE, i), &value, 2u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_6_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_6(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_6_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_6_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_6(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_6_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_6_FLAGS_PTR, i));
}

/* 7: 280:32xC */
static inline uint32_t zim_testdynhg_field_7_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint8_t *zim_testdynhg_get_field_7(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_7_length(obj));
  return ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_7_PTR, ZIM_TESTDYNHG_FIELD_7_ELEM_SIZE, i);
}
static inline void zim_testdynhg_set_field_7(qor_testdynhg_obj_st obj, uint32_t i, const void *value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_7_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_7_PTR, ZIM_TESTDYNHG_FIELD_7_ELEM_SIZE, i), value, 32u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_7_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_7(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_7_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_7_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_7(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_7_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_7_FLAGS_PTR, i));
}

/* 8: 288:2xC */
static inline uint32_t zim_testdynhg_field_8_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint16_t zim_testdynhg_get_field_8(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_8_length(obj));
  return zim_tables_load_u16(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_8_PTR, ZIM_TESTDYNHG_FIELD_8_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_8(qor_testdynhg_obj_st obj, uint32_t i, uint16_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_8_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_8_PTR, ZIM_TESTDYNHG_FIELD_8_ELEM_SIZE, i), &value, 2u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_8_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_8(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_8_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_8_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_8(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_8_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_8_FLAGS_PTR, i));
}

/* 9: 296:2xN */
static inline uint32_t zim_testdynhg_field_9_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return hulcon_config_get_max_num_npus();
}
static inline uint16_t zim_testdynhg_get_field_9(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_9_length(obj));
  return zim_tables_load_u16(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_9_PTR, ZIM_TESTDYNHG_FIELD_9_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_9(qor_testdynhg_obj_st obj, uint32_t i, uint16_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_9_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_9_PTR, ZIM_TESTDYNHG_FIELD_9_ELEM_SIZE, i), &value, 2u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_9_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_9(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_9_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_9_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_9(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_9_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_9_FLAGS_PTR, i));
}

/* 10: 304:8 */
static inline uint64_t zim_testdynhg_get_field_10(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_10_OFFSET));
}
static inline void zim_testdynhg_set_field_10(qor_testdynhg_obj_st obj, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_10_OFFSET), &value, 8u, zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_10_FLAG));
}
static inline zim_bool_t zim_testdynhg_has_field_10(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_10_FLAG));
}
static inline void zim_testdynhg_clear_field_10(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTDYNHG_FIELD_10_FLAG));
}

/* 11: 312:8xC */
static inline uint32_t zim_testdynhg_field_11_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint64_t zim_testdynhg_get_field_11(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_11_length(obj));
  return zim_tables_load_u64(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_11_PTR, ZIM_TESTDYNHG_FIELD_11_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_11(qor_testdynhg_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_11_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_11_PTR, ZIM_TESTDYNHG_FIELD_11_ELEM_SIZE, i), &value, 8u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_11_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_11(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_11_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_11_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_11(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_11_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_11_FLAGS_PTR, i));
}

/* 12: 320:4xC */
static inline uint32_t zim_testdynhg_field_12_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint32_t zim_testdynhg_get_field_12(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_12_length(obj));
  return zim_tables_load_u32(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_12_PTR, ZIM_TESTDYNHG_FIELD_12_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_12(qor_testdynhg_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_12_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_12_PTR, ZIM_TESTDYNHG_FIELD_12_ELEM_SIZE, i), &value, 4u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_12_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_12(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_12_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_12_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_12(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_12_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_12_FLAGS_PTR, i));
}

/* 13: 328:8xC */
static inline uint32_t zim_testdynhg_field_13_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint64_t zim_testdynhg_get_field_13(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_13_length(obj));
  return zim_tables_load_u64(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_13_PTR, ZIM_TESTDYNHG_FIELD_13_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_13(qor_testdynhg_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_13_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_13_PTR, ZIM_TESTDYNHG_FIELD_13_ELEM_SIZE, i), &value, 8u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_13_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_13(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_13_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_13_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_13(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_13_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_13_FLAGS_PTR, i));
}

/* 14: 336:4xC */
static inline uint32_t zim_testdynhg_field_14_length(qor_testdynhg_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTDYNHG_COUNT_OFFSET));
}
static inline uint32_t zim_testdynhg_get_field_14(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_14_length(obj));
  return zim_tables_load_u32(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_14_PTR, ZIM_TESTDYNHG_FIELD_14_ELEM_SIZE, i));
}
static inline void zim_testdynhg_set_field_14(qor_testdynhg_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_14_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TESTDYNHG_FIELD_14_PTR, ZIM_TESTDYNHG_FIELD_14_ELEM_SIZE, i), &value, 4u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_14_FLAGS_PTR, i));
}
static inline zim_bool_t zim_testdynhg_has_field_14(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_14_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_14_FLAGS_PTR, i));
}
static inline void zim_testdynhg_clear_field_14(qor_testdynhg_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTDYNHG);
  ZIM_TABLES_CHECK_INDEX(i, zim_testdynhg_field_14_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TESTDYNHG_FIELD_14_FLAGS_PTR, i));
}

#ifdef __cplusplus
}

#include "zim/tables/handles.hpp"

/* What the owning handles of zim/tables/handles.hpp call for type testdynhg. */
namespace zim_tables {
template <>
struct TypeOps<qor_testdynhg_obj> {
  static qor_testdynhg_obj *make(uint32_t count) { return qor_srv_testdynhg_ctor(count); }
  static qor_testdynhg_obj *copy(qor_testdynhg_obj *src) { return zim_testdynhg_copy_ctor(src); }
  static qor_testdynhg_obj *snapshot(qor_testdynhg_obj *obj, uint64_t *version) {
    return zim_testdynhg_snapshot_with_version(obj, version);
  }
  static void release(qor_testdynhg_obj *obj) { zim_testdynhg_clnt_copy_dtor(obj); }
};
}  // namespace zim_tables
#endif

/* The layout note (zim/tables/layout_note.h): this type's layout record, for
 * the pools shared with processes built from other definitions to compare. */
#if defined(__ELF__) && !defined(ZIM_TABLES_NO_LAYOUT_NOTE)
__asm__(".pushsection .note.zim_tables.layout,\"aGR\",%note,zim_tables_layout.testdynhg.9999dfef1179da60,comdat\n"
        " .balign 4\n .long 11\n .long 5f - 4f\n .long 0x7a4c0001\n .asciz \"zim_tables\"\n"
        " .balign 4\n4:\n .long 1\n .long 6\n .long 0x1179da60\n .long 0x9999dfef\n"
        " .long 3f - 2f\n2:\n"
        " .ascii \"type 6 testdynhg\\n\"\n"
        " .ascii \"  fingerprint 9999dfef1179da60\\n\"\n"
        " .ascii \"  class counted\\n\"\n"
        " .ascii \"  fixed_size 456\\n\"\n"
        " .ascii \"  count_param on 200\\n\"\n"
        " .ascii \"  size_check on\\n\"\n"
        " .ascii \"  obj_flags_bit5 clear\\n\"\n"
        " .ascii \"  header 192:4 196:4 200:4\\n\"\n"
        " .ascii \"  field 204 width 4 run 3 flag 344\\n\"\n"
        " .ascii \"  field 216 width 1 run 2 flag 347\\n\"\n"
        " .ascii \"  field 220 width 4 run 1 flag 349\\n\"\n"
        " .ascii \"  field 224 width 8 run 4 flag 350\\n\"\n"
        " .ascii \"  array 256 counted elem 4 flag_ptr 360\\n\"\n"
        " .ascii \"  array 264 counted elem 4 flag_ptr 368\\n\"\n"
        " .ascii \"  array 272 counted elem 2 flag_ptr 376\\n\"\n"
        " .ascii \"  array 280 counted elem 32 flag_ptr 384\\n\"\n"
        " .ascii \"  array 288 counted elem 2 flag_ptr 392\\n\"\n"
        " .ascii \"  array 296 per_npu elem 2 flag_ptr 400\\n\"\n"
        " .ascii \"  field 304 width 8 run 1 flag 408\\n\"\n"
        " .ascii \"  array 312 counted elem 8 flag_ptr 416\\n\"\n"
        " .ascii \"  array 320 counted elem 4 flag_ptr 424\\n\"\n"
        " .ascii \"  array 328 counted elem 8 flag_ptr 432\\n\"\n"
        " .ascii \"  array 336 counted elem 4 flag_ptr 440\\n\"\n"
        " .ascii \"  npd_present 448\\n\"\n"
        " .ascii \"  dynamic 256 264 272 280 288 296 312 320 328 336\\n\"\n"
        " .ascii \"  check fix_ptrs 134 \\\"void qor_testdynhg_fix_ptrs(uint32_t, qor_testdynhg_obj_st)\\\"\\n\"\n"
        " .ascii \"  check size_ptr 156 \\\"void qor_testdynhg_add_dynamic_to_obj_size(uint32_t *, uint32_t)\\\"\\n\"\n"
        " .ascii \"  check alloc 452 \\\"srv_testdynhg_t testdynhg_srv_alloc(uint32_t, zim_bool_t)\\\"\\n\"\n"
        " .ascii \"  wisp 1079 1080 1081 1079 1080 1081\\n\"\n"
        "3:\n .balign 4\n5:\n .popsection\n");
#endif

#endif /* ZIM_TABLES_TESTDYNHG_H */
