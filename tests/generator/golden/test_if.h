/* Generated from defs/000_test_if.tdef by zim_tablegen; do not edit. */
#ifndef ZIM_TABLES_TEST_IF_H
#define ZIM_TABLES_TEST_IF_H

#include <stdint.h>

#include "zim/tables/accessors.h"
#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"
#include "zim/tables/whole_reads.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A table object of type test_if (table id 0): a pointer to its first byte. */
typedef struct qor_test_if_obj *qor_test_if_obj_st;
typedef struct qor_test_if_obj *srv_test_if_t;

#define ZIM_TABLE_ID_TEST_IF 0u
#define ZIM_FIXED_SIZE_TEST_IF 480u

/* Layout of objects of type test_if, in bytes from an object's first byte.
 * The type header's fields in copy order; then each data field in definition order, known by
 * its name or number: an inline field has OFFSET, WIDTH (bytes per field),
 * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN
 * presence flags); an array field has PTR and FLAGS_PTR (where its data and
 * flag pointers lie), ELEM_SIZE and KIND. */
#define ZIM_TEST_IF_NUM_HEADER_FIELDS 3u
#define ZIM_TEST_IF_HEADER_0_OFFSET 192u
#define ZIM_TEST_IF_HEADER_0_WIDTH 4u
#define ZIM_TEST_IF_HEADER_1_OFFSET 200u
#define ZIM_TEST_IF_HEADER_1_WIDTH 8u
#define ZIM_TEST_IF_HEADER_2_OFFSET 208u
#define ZIM_TEST_IF_HEADER_2_WIDTH 1u
#define ZIM_TEST_IF_COUNT_OFFSET 0u /* the type takes no count */
#define ZIM_TEST_IF_NUM_FIELDS 14u
#define ZIM_TEST_IF_FIELD_0_OFFSET 216u /* 216:32x3 */
#define ZIM_TEST_IF_FIELD_0_WIDTH 32u
#define ZIM_TEST_IF_FIELD_0_RUN 3u
#define ZIM_TEST_IF_FIELD_0_FLAG 436u
#define ZIM_TEST_IF_FIELD_1_OFFSET 312u /* 312:4x7 */
#define ZIM_TEST_IF_FIELD_1_WIDTH 4u
#define ZIM_TEST_IF_FIELD_1_RUN 7u
#define ZIM_TEST_IF_FIELD_1_FLAG 439u
#define ZIM_TEST_IF_FIELD_2_OFFSET 344u /* 344:8x2 */
#define ZIM_TEST_IF_FIELD_2_WIDTH 8u
#define ZIM_TEST_IF_FIELD_2_RUN 2u
#define ZIM_TEST_IF_FIELD_2_FLAG 446u
#define ZIM_TEST_IF_FIELD_3_OFFSET 360u /* 360:1 */
#define ZIM_TEST_IF_FIELD_3_WIDTH 1u
#define ZIM_TEST_IF_FIELD_3_RUN 1u
#define ZIM_TEST_IF_FIELD_3_FLAG 448u
#define ZIM_TEST_IF_FIELD_4_OFFSET 362u /* 362:2 */
#define ZIM_TEST_IF_FIELD_4_WIDTH 2u
#define ZIM_TEST_IF_FIELD_4_RUN 1u
#define ZIM_TEST_IF_FIELD_4_FLAG 449u
#define ZIM_TEST_IF_FIELD_5_OFFSET 364u /* 364:4 */
#define ZIM_TEST_IF_FIELD_5_WIDTH 4u
#define ZIM_TEST_IF_FIELD_5_RUN 1u
#define ZIM_TEST_IF_FIELD_5_FLAG 450u
#define ZIM_TEST_IF_FIELD_6_OFFSET 368u /* 368:8 */
#define ZIM_TEST_IF_FIELD_6_WIDTH 8u
#define ZIM_TEST_IF_FIELD_6_RUN 1u
#define ZIM_TEST_IF_FIELD_6_FLAG 451u
#define ZIM_TEST_IF_FIELD_7_OFFSET 376u /* 376:4 */
#define ZIM_TEST_IF_FIELD_7_WIDTH 4u
#define ZIM_TEST_IF_FIELD_7_RUN 1u
#define ZIM_TEST_IF_FIELD_7_FLAG 452u
#define ZIM_TEST_IF_FIELD_8_OFFSET 380u /* 380:1x8 */
#define ZIM_TEST_IF_FIELD_8_WIDTH 1u
#define ZIM_TEST_IF_FIELD_8_RUN 8u
#define ZIM_TEST_IF_FIELD_8_FLAG 453u
#define ZIM_TEST_IF_FIELD_9_OFFSET 392u /* 392:8 */
#define ZIM_TEST_IF_FIELD_9_WIDTH 8u
#define ZIM_TEST_IF_FIELD_9_RUN 1u
#define ZIM_TEST_IF_FIELD_9_FLAG 461u
#define ZIM_TEST_IF_FIELD_10_PTR 400u /* 400:8xN */
#define ZIM_TEST_IF_FIELD_10_FLAGS_PTR 464u
#define ZIM_TEST_IF_FIELD_10_ELEM_SIZE 8u
#define ZIM_TEST_IF_FIELD_10_KIND ZIM_ARRAY_PER_NPU
#define ZIM_TEST_IF_FIELD_11_OFFSET 408u /* 408:4 */
#define ZIM_TEST_IF_FIELD_11_WIDTH 4u
#define ZIM_TEST_IF_FIELD_11_RUN 1u
#define ZIM_TEST_IF_FIELD_11_FLAG 472u
#define ZIM_TEST_IF_FIELD_12_OFFSET 416u /* 416:8x2 */
#define ZIM_TEST_IF_FIELD_12_WIDTH 8u
#define ZIM_TEST_IF_FIELD_12_RUN 2u
#define ZIM_TEST_IF_FIELD_12_FLAG 473u
#define ZIM_TEST_IF_FIELD_13_OFFSET 432u /* 432:4 */
#define ZIM_TEST_IF_FIELD_13_WIDTH 4u
#define ZIM_TEST_IF_FIELD_13_RUN 1u
#define ZIM_TEST_IF_FIELD_13_FLAG 475u
#define ZIM_TEST_IF_FLAGS_AREA_OFFSET 436u
#define ZIM_TEST_IF_NPD_PRESENT_OFFSET 476u

/* Where the allocator places the NPD area and each array's element storage
 * and element flags in an object made for n NPUs, an NPD size of npd_size
 * bytes and count elements per counted array: uint64_t offsets from the
 * object's first byte. A counted array has no storage when count is 0; its
 * pointers are then null. OBJECT_SIZE is the first byte after the dynamic
 * area; total_obj_size holds it as a 32-bit number. */
#define ZIM_TEST_IF_DYNAMIC_OFFSET(npd_size) (480u + (uint64_t)(npd_size))
#define ZIM_TEST_IF_FIELD_10_STORAGE_OFFSET(n, npd_size, count) (480u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 0u * (uint64_t)(count))
#define ZIM_TEST_IF_FIELD_10_FLAGS_OFFSET(n, npd_size, count) (480u + (uint64_t)(npd_size) + 8u * (uint64_t)(n) + 0u * (uint64_t)(count))
#define ZIM_TEST_IF_OBJECT_SIZE(n, npd_size, count) (480u + (uint64_t)(npd_size) + 9u * (uint64_t)(n) + 0u * (uint64_t)(count))

/* The header and data fields as X-macro lists: X(TEST_IF, name or number) for each,
 * to build code over every field from the constants above. */
#define ZIM_TEST_IF_HEADER_FIELDS(X) X(TEST_IF, 0) X(TEST_IF, 1) X(TEST_IF, 2)
#define ZIM_TEST_IF_INLINE_FIELDS(X) X(TEST_IF, 0) X(TEST_IF, 1) X(TEST_IF, 2) X(TEST_IF, 3) X(TEST_IF, 4) X(TEST_IF, 5) X(TEST_IF, 6) X(TEST_IF, 7) X(TEST_IF, 8) X(TEST_IF, 9) X(TEST_IF, 11) X(TEST_IF, 12) X(TEST_IF, 13)
#define ZIM_TEST_IF_ARRAY_FIELDS(X) X(TEST_IF, 10)

/* Ownership: a server object from qor_srv_test_if_ctor is a heap block that its
 * creator frees with free(); a heap copy from zim_test_if_copy_ctor or
 * zim_test_if_snapshot is released with zim_test_if_clnt_copy_dtor; objects and copies made _with_shm live in the
 * shared-memory pool and are never released singly. Allocation failures and
 * failed layout checks end the process with an assertion report. */

ZIM_TABLES_API void qor_test_if_fix_ptrs(uint32_t npd_size, qor_test_if_obj_st obj_inst);
ZIM_TABLES_API void zim_test_if_fix_ptrs_from_base(qor_test_if_obj_st obj_inst);
ZIM_TABLES_API void qor_test_if_add_dynamic_to_obj_size(uint32_t *obj_size_ptr);
ZIM_TABLES_API uint32_t qor_test_if_get_obj_size(void);
ZIM_TABLES_API zim_wisp_enums_t zim_test_if_get_wisp_enums(void);
ZIM_TABLES_API void qor_test_if_read_dbobj(qor_test_if_obj_st src, qor_test_if_obj_st dst);
ZIM_TABLES_API void qor_test_if_write_dbobj_base(qor_test_if_obj_st src, qor_test_if_obj_st dst);
ZIM_TABLES_API void qor_test_if_read_dbobj_base(qor_test_if_obj_st src, qor_test_if_obj_st dst);
ZIM_TABLES_API srv_test_if_t qor_srv_test_if_ctor(void);
ZIM_TABLES_API srv_test_if_t zim_srv_test_if_ctor_with_shm(void);
ZIM_TABLES_API srv_test_if_t zim_test_if_copy_ctor(qor_test_if_obj_st src);
ZIM_TABLES_API srv_test_if_t zim_test_if_copy_ctor_with_shm(qor_test_if_obj_st src);
ZIM_TABLES_API void zim_test_if_clnt_copy_dtor(qor_test_if_obj_st obj_inst);

/* One try of zim_test_if_snapshot_with_version at a version of an object of the
 * mapped versioned pool: 1 when the snapshot is done (*copy the copy, or null
 * with errno set), 0 when a write overlapped the try. */
ZIM_TABLES_INLINE int zim_test_if_snapshot_try(qor_test_if_obj_st obj, uint64_t *version, uint32_t npd_size,
                                     zim_tables_whole_t at, qor_test_if_obj_st *copy) {
  const uint64_t header_bytes =
      (ZIM_TEST_IF_COUNT_OFFSET > ZIM_OBJ_TOTAL_SIZE_OFFSET ? ZIM_TEST_IF_COUNT_OFFSET : ZIM_OBJ_TOTAL_SIZE_OFFSET) + 4u;
  *copy = NULL;
  if (!ZIM_TABLES_WHOLE_FOUND(at, header_bytes, "zim_test_if_snapshot_with_version")) return 1;
  const uint32_t count = 0u;
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_TEST_IF_OBJECT_SIZE(hulcon_config_get_max_num_npus(), npd_size, count);
  const zim_tables_try_t sizes =
      ZIM_TABLES_WHOLE_SIZES(obj, at, size, layout_size, header_bytes, "zim_test_if_snapshot_with_version");
  if (sizes != ZIM_TABLES_TRY_COPY) return sizes == ZIM_TABLES_TRY_DONE;
  uint8_t *bytes;
  if (!zim_tables_whole_copy(&bytes, obj, at, size, ZIM_TEST_IF_COUNT_OFFSET, count, version)) return 0;
  *copy = (qor_test_if_obj_st)bytes;
  if (bytes != NULL) qor_test_if_fix_ptrs(npd_size, *copy);
  return 1;
}

/* zim_test_if_snapshot_with_version's tries after the first, until one is whole. */
ZIM_TABLES_RETRIES qor_test_if_obj_st zim_test_if_snapshot_again(qor_test_if_obj_st obj, uint64_t *version, uint32_t npd_size) {
  qor_test_if_obj_st copy;
  uint32_t tries = 2;
  while (!zim_test_if_snapshot_try(obj, version, npd_size, zim_tables_whole_again(obj, tries), &copy)) ++tries;
  return copy;
}

/* zim_test_if_snapshot_with_version of an object of the mapped versioned pool. */
ZIM_TABLES_OUT_OF_LINE qor_test_if_obj_st zim_test_if_snapshot_whole(qor_test_if_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_TEST_IF, "zim_test_if_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_TEST_IF);
  qor_test_if_obj_st copy;
  if (zim_test_if_snapshot_try(obj, version, npd_size, zim_tables_whole_first(obj), &copy)) return copy;
  return zim_test_if_snapshot_again(obj, version, npd_size);
}

/* zim_test_if_snapshot_with_version of any other object: copied once, as it stands. */
ZIM_TABLES_OUT_OF_LINE qor_test_if_obj_st zim_test_if_snapshot_as_is(qor_test_if_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_TEST_IF, "zim_test_if_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_TEST_IF);
  if (version != NULL) *version = 0;
  const uint32_t count = 0u;
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_TEST_IF_OBJECT_SIZE(hulcon_config_get_max_num_npus(), npd_size, count);
  ZIM_TABLES_CHECK_SNAPSHOT_SIZE(size, layout_size, "zim_test_if_snapshot_with_version");
  qor_test_if_obj_st copy = (qor_test_if_obj_st)zim_tables_snapshot_bytes(obj, size, ZIM_TEST_IF_COUNT_OFFSET, count);
  if (copy != NULL) qor_test_if_fix_ptrs(npd_size, copy);
  return copy;
}

/* A snapshot of obj: its total_obj_size bytes in a new heap block with the
 * pointers fixed for the block, for reading an object without writing a byte
 * of it (a pool object that another process owns, mapped here at another
 * address). Null when malloc fails (ENOMEM); release it with
 * zim_test_if_clnt_copy_dtor. Snapshots print nothing.
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
static inline qor_test_if_obj_st zim_test_if_snapshot_with_version(qor_test_if_obj_st obj, uint64_t *version) {
  if (zim_tables_in_versioned_pool(obj)) return zim_test_if_snapshot_whole(obj, version);
  return zim_test_if_snapshot_as_is(obj, version);
}

/* zim_test_if_snapshot_with_version without the version. */
static inline qor_test_if_obj_st zim_test_if_snapshot(qor_test_if_obj_st obj) {
  return zim_test_if_snapshot_with_version(obj, NULL);
}

/* Accessors of every data field: zim_test_if_get_<f>, _set_<f>, _has_<f> and
 * _clear_<f>, with an index i for a run of fields or an array element, and
 * zim_test_if_<f>_length for an array (the object's count, or N). <f> is the
 * field's name or field_<number>. Values of 1, 2, 4 or 8 bytes pass as
 * uint8_t to uint64_t; wider ones as bytes: get returns their address, set
 * copies the field's width from value. set writes the value, then its flag
 * with release ordering; has reads the flag with acquire ordering; clear
 * zeroes it; get ignores it. Each checks first that obj is not null and of
 * table id 0, that an index lies inside the run or the array, and
 * that an array element and flag lie inside obj's total_obj_size bytes; a
 * failed check ends the process with an assertion report naming the accessor,
 * before anything is read or written, whether or not NDEBUG is set. In a
 * versioned pool, set and clear also end it so outside this process's open
 * write of obj (zim_shm_pool_write_begin to _end, or from its allocation to
 * its first write_end); they never open one themselves. Arrays
 * are reached through the object's own pointers: fix them after a move first,
 * or read a snapshot. */

/* 0: 216:32x3 */
static inline uint8_t *zim_test_if_get_field_0(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_0_RUN);
  return zim_tables_at(obj, ZIM_TEST_IF_FIELD_0_OFFSET + ZIM_TEST_IF_FIELD_0_WIDTH * (uint64_t)i);
}
static inline void zim_test_if_set_field_0(qor_test_if_obj_st obj, uint32_t i, const void *value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_0_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_0_OFFSET + ZIM_TEST_IF_FIELD_0_WIDTH * (uint64_t)i), value, 32u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_0_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_test_if_has_field_0(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_0_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_0_FLAG + (uint64_t)i));
}
static inline void zim_test_if_clear_field_0(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_0_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_0_FLAG + (uint64_t)i));
}

/* 1: 312:4x7 */
static inline uint32_t zim_test_if_get_field_1(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_1_RUN);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TEST_IF_FIELD_1_OFFSET + ZIM_TEST_IF_FIELD_1_WIDTH * (uint64_t)i));
}
static inline void zim_test_if_set_field_1(qor_test_if_obj_st obj, uint32_t i, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_1_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_1_OFFSET + ZIM_TEST_IF_FIELD_1_WIDTH * (uint64_t)i), &value, 4u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_1_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_test_if_has_field_1(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_1_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_1_FLAG + (uint64_t)i));
}
static inline void zim_test_if_clear_field_1(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_1_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_1_FLAG + (uint64_t)i));
}

/* 2: 344:8x2 */
static inline uint64_t zim_test_if_get_field_2(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_2_RUN);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TEST_IF_FIELD_2_OFFSET + ZIM_TEST_IF_FIELD_2_WIDTH * (uint64_t)i));
}
static inline void zim_test_if_set_field_2(qor_test_if_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_2_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_2_OFFSET + ZIM_TEST_IF_FIELD_2_WIDTH * (uint64_t)i), &value, 8u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_2_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_test_if_has_field_2(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_2_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_2_FLAG + (uint64_t)i));
}
static inline void zim_test_if_clear_field_2(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_2_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_2_FLAG + (uint64_t)i));
}

/* 3: 360:1 */
static inline uint8_t zim_test_if_get_field_3(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u8(zim_tables_at(obj, ZIM_TEST_IF_FIELD_3_OFFSET));
}
static inline void zim_test_if_set_field_3(qor_test_if_obj_st obj, uint8_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_3_OFFSET), &value, 1u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_3_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_3(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_3_FLAG));
}
static inline void zim_test_if_clear_field_3(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_3_FLAG));
}

/* 4: 362:2 */
static inline uint16_t zim_test_if_get_field_4(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u16(zim_tables_at(obj, ZIM_TEST_IF_FIELD_4_OFFSET));
}
static inline void zim_test_if_set_field_4(qor_test_if_obj_st obj, uint16_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_4_OFFSET), &value, 2u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_4_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_4(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_4_FLAG));
}
static inline void zim_test_if_clear_field_4(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_4_FLAG));
}

/* 5: 364:4 */
static inline uint32_t zim_test_if_get_field_5(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TEST_IF_FIELD_5_OFFSET));
}
static inline void zim_test_if_set_field_5(qor_test_if_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_5_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_5_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_5(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_5_FLAG));
}
static inline void zim_test_if_clear_field_5(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_5_FLAG));
}

/* 6: 368:8 */
static inline uint64_t zim_test_if_get_field_6(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TEST_IF_FIELD_6_OFFSET));
}
static inline void zim_test_if_set_field_6(qor_test_if_obj_st obj, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_6_OFFSET), &value, 8u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_6_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_6(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_6_FLAG));
}
static inline void zim_test_if_clear_field_6(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_6_FLAG));
}

/* 7: 376:4 */
static inline uint32_t zim_test_if_get_field_7(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TEST_IF_FIELD_7_OFFSET));
}
static inline void zim_test_if_set_field_7(qor_test_if_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_7_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_7_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_7(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_7_FLAG));
}
static inline void zim_test_if_clear_field_7(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_7_FLAG));
}

/* 8: 380:1x8 */
static inline uint8_t zim_test_if_get_field_8(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_8_RUN);
  return zim_tables_load_u8(zim_tables_at(obj, ZIM_TEST_IF_FIELD_8_OFFSET + ZIM_TEST_IF_FIELD_8_WIDTH * (uint64_t)i));
}
static inline void zim_test_if_set_field_8(qor_test_if_obj_st obj, uint32_t i, uint8_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_8_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_8_OFFSET + ZIM_TEST_IF_FIELD_8_WIDTH * (uint64_t)i), &value, 1u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_8_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_test_if_has_field_8(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_8_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_8_FLAG + (uint64_t)i));
}
static inline void zim_test_if_clear_field_8(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_8_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_8_FLAG + (uint64_t)i));
}

/* 9: 392:8 */
static inline uint64_t zim_test_if_get_field_9(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TEST_IF_FIELD_9_OFFSET));
}
static inline void zim_test_if_set_field_9(qor_test_if_obj_st obj, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_9_OFFSET), &value, 8u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_9_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_9(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_9_FLAG));
}
static inline void zim_test_if_clear_field_9(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_9_FLAG));
}

/* 10: 400:8xN */
static inline uint32_t zim_test_if_field_10_length(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return hulcon_config_get_max_num_npus();
}
static inline uint64_t zim_test_if_get_field_10(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, zim_test_if_field_10_length(obj));
  return zim_tables_load_u64(ZIM_TABLES_ELEMENT(obj, ZIM_TEST_IF_FIELD_10_PTR, ZIM_TEST_IF_FIELD_10_ELEM_SIZE, i));
}
static inline void zim_test_if_set_field_10(qor_test_if_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, zim_test_if_field_10_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(ZIM_TABLES_ELEMENT(obj, ZIM_TEST_IF_FIELD_10_PTR, ZIM_TEST_IF_FIELD_10_ELEM_SIZE, i), &value, 8u, ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TEST_IF_FIELD_10_FLAGS_PTR, i));
}
static inline zim_bool_t zim_test_if_has_field_10(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, zim_test_if_field_10_length(obj));
  return zim_tables_flag_up(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TEST_IF_FIELD_10_FLAGS_PTR, i));
}
static inline void zim_test_if_clear_field_10(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, zim_test_if_field_10_length(obj));
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(ZIM_TABLES_ELEMENT_FLAG(obj, ZIM_TEST_IF_FIELD_10_FLAGS_PTR, i));
}

/* 11: 408:4 */
static inline uint32_t zim_test_if_get_field_11(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TEST_IF_FIELD_11_OFFSET));
}
static inline void zim_test_if_set_field_11(qor_test_if_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_11_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_11_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_11(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_11_FLAG));
}
static inline void zim_test_if_clear_field_11(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_11_FLAG));
}

/* 12: 416:8x2 */
static inline uint64_t zim_test_if_get_field_12(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_12_RUN);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TEST_IF_FIELD_12_OFFSET + ZIM_TEST_IF_FIELD_12_WIDTH * (uint64_t)i));
}
static inline void zim_test_if_set_field_12(qor_test_if_obj_st obj, uint32_t i, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_12_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_12_OFFSET + ZIM_TEST_IF_FIELD_12_WIDTH * (uint64_t)i), &value, 8u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_12_FLAG + (uint64_t)i));
}
static inline zim_bool_t zim_test_if_has_field_12(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_12_RUN);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_12_FLAG + (uint64_t)i));
}
static inline void zim_test_if_clear_field_12(qor_test_if_obj_st obj, uint32_t i) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_INDEX(i, ZIM_TEST_IF_FIELD_12_RUN);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_12_FLAG + (uint64_t)i));
}

/* 13: 432:4 */
static inline uint32_t zim_test_if_get_field_13(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TEST_IF_FIELD_13_OFFSET));
}
static inline void zim_test_if_set_field_13(qor_test_if_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TEST_IF_FIELD_13_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_TEST_IF_FIELD_13_FLAG));
}
static inline zim_bool_t zim_test_if_has_field_13(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TEST_IF_FIELD_13_FLAG));
}
static inline void zim_test_if_clear_field_13(qor_test_if_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TEST_IF);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TEST_IF_FIELD_13_FLAG));
}

#ifdef __cplusplus
}

#include "zim/tables/handles.hpp"

/* What the owning handles of zim/tables/handles.hpp call for type test_if. */
namespace zim_tables {
template <>
struct TypeOps<qor_test_if_obj> {
  static qor_test_if_obj *make(uint32_t) { return qor_srv_test_if_ctor(); }
  static qor_test_if_obj *copy(qor_test_if_obj *src) { return zim_test_if_copy_ctor(src); }
  static qor_test_if_obj *snapshot(qor_test_if_obj *obj, uint64_t *version) {
    return zim_test_if_snapshot_with_version(obj, version);
  }
  static void release(qor_test_if_obj *obj) { zim_test_if_clnt_copy_dtor(obj); }
};
}  // namespace zim_tables
#endif

/* The layout note (zim/tables/layout_note.h): this type's layout record, for
 * the pools shared with processes built from other definitions to compare. */
#if defined(__ELF__) && !defined(ZIM_TABLES_NO_LAYOUT_NOTE)
__asm__(".pushsection .note.zim_tables.layout,\"aGR\",%note,zim_tables_layout.test_if.051c37fd23153d38,comdat\n"
        " .balign 4\n .long 11\n .long 5f - 4f\n .long 0x7a4c0001\n .asciz \"zim_tables\"\n"
        " .balign 4\n4:\n .long 1\n .long 0\n .long 0x23153d38\n .long 0x051c37fd\n"
        " .long 3f - 2f\n2:\n"
        " .ascii \"type 0 test_if\\n\"\n"
        " .ascii \"  fingerprint 051c37fd23153d38\\n\"\n"
        " .ascii \"  class per_npu\\n\"\n"
        " .ascii \"  fixed_size 480\\n\"\n"
        " .ascii \"  count_param off\\n\"\n"
        " .ascii \"  size_check on\\n\"\n"
        " .ascii \"  obj_flags_bit5 clear\\n\"\n"
        " .ascii \"  header 192:4 200:8 208:1\\n\"\n"
        " .ascii \"  field 216 width 32 run 3 flag 436\\n\"\n"
        " .ascii \"  field 312 width 4 run 7 flag 439\\n\"\n"
        " .ascii \"  field 344 width 8 run 2 flag 446\\n\"\n"
        " .ascii \"  field 360 width 1 run 1 flag 448\\n\"\n"
        " .ascii \"  field 362 width 2 run 1 flag 449\\n\"\n"
        " .ascii \"  field 364 width 4 run 1 flag 450\\n\"\n"
        " .ascii \"  field 368 width 8 run 1 flag 451\\n\"\n"
        " .ascii \"  field 376 width 4 run 1 flag 452\\n\"\n"
        " .ascii \"  field 380 width 1 run 8 flag 453\\n\"\n"
        " .ascii \"  field 392 width 8 run 1 flag 461\\n\"\n"
        " .ascii \"  array 400 per_npu elem 8 flag_ptr 464\\n\"\n"
        " .ascii \"  field 408 width 4 run 1 flag 472\\n\"\n"
        " .ascii \"  field 416 width 8 run 2 flag 473\\n\"\n"
        " .ascii \"  field 432 width 4 run 1 flag 475\\n\"\n"
        " .ascii \"  npd_present 476\\n\"\n"
        " .ascii \"  dynamic 400\\n\"\n"
        " .ascii \"  check fix_ptrs 52 \\\"void qor_test_if_fix_ptrs(uint32_t, qor_test_if_obj_st)\\\"\\n\"\n"
        " .ascii \"  check size_ptr 73 \\\"void qor_test_if_add_dynamic_to_obj_size(uint32_t *)\\\"\\n\"\n"
        " .ascii \"  check alloc 344 \\\"srv_test_if_t test_if_srv_alloc(uint32_t, zim_bool_t)\\\"\\n\"\n"
        " .ascii \"  wisp 947 948 949 950 951 952\\n\"\n"
        "3:\n .balign 4\n5:\n .popsection\n");
#endif

#endif /* ZIM_TABLES_TEST_IF_H */
