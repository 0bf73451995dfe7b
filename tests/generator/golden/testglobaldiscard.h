/* Generated from defs/003_testglobaldiscard.tdef by zim_tablegen; do not edit. */
#ifndef ZIM_TABLES_TESTGLOBALDISCARD_H
#define ZIM_TABLES_TESTGLOBALDISCARD_H

#include <stdint.h>

#include "zim/tables/accessors.h"
#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"
#include "zim/tables/whole_reads.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A table object of type testglobaldiscard (table id 3): a pointer to its first byte. */
typedef struct qor_testglobaldiscard_obj *qor_testglobaldiscard_obj_st;
typedef struct qor_testglobaldiscard_obj *srv_testglobaldiscard_t;

#define ZIM_TABLE_ID_TESTGLOBALDISCARD 3u
#define ZIM_FIXED_SIZE_TESTGLOBALDISCARD 224u

/* Layout of objects of type testglobaldiscard, in bytes from an object's first byte.
 * The type header's fields in copy order; then each data field in definition order, known by
 * its name or number: an inline field has OFFSET, WIDTH (bytes per field),
 * RUN (fields of WIDTH bytes back to back) and FLAG (the first of its RUN
 * presence flags); an array field has PTR and FLAGS_PTR (where its data and
 * flag pointers lie), ELEM_SIZE and KIND. */
#define ZIM_TESTGLOBALDISCARD_NUM_HEADER_FIELDS 2u
#define ZIM_TESTGLOBALDISCARD_HEADER_0_OFFSET 192u
#define ZIM_TESTGLOBALDISCARD_HEADER_0_WIDTH 4u
#define ZIM_TESTGLOBALDISCARD_HEADER_1_OFFSET 196u
#define ZIM_TESTGLOBALDISCARD_HEADER_1_WIDTH 4u
#define ZIM_TESTGLOBALDISCARD_COUNT_OFFSET 0u /* the type takes no count */
#define ZIM_TESTGLOBALDISCARD_NUM_FIELDS 3u
#define ZIM_TESTGLOBALDISCARD_FIELD_0_OFFSET 200u /* 200:4 */
#define ZIM_TESTGLOBALDISCARD_FIELD_0_WIDTH 4u
#define ZIM_TESTGLOBALDISCARD_FIELD_0_RUN 1u
#define ZIM_TESTGLOBALDISCARD_FIELD_0_FLAG 216u
#define ZIM_TESTGLOBALDISCARD_FIELD_1_OFFSET 204u /* 204:1 */
#define ZIM_TESTGLOBALDISCARD_FIELD_1_WIDTH 1u
#define ZIM_TESTGLOBALDISCARD_FIELD_1_RUN 1u
#define ZIM_TESTGLOBALDISCARD_FIELD_1_FLAG 217u
#define ZIM_TESTGLOBALDISCARD_FIELD_2_OFFSET 208u /* 208:8 */
#define ZIM_TESTGLOBALDISCARD_FIELD_2_WIDTH 8u
#define ZIM_TESTGLOBALDISCARD_FIELD_2_RUN 1u
#define ZIM_TESTGLOBALDISCARD_FIELD_2_FLAG 218u
#define ZIM_TESTGLOBALDISCARD_FLAGS_AREA_OFFSET 216u
#define ZIM_TESTGLOBALDISCARD_NPD_PRESENT_OFFSET 219u

/* Where the allocator places the NPD area and each array's element storage
 * and element flags in an object made for n NPUs, an NPD size of npd_size
 * bytes and count elements per counted array: uint64_t offsets from the
 * object's first byte. A counted array has no storage when count is 0; its
 * pointers are then null. OBJECT_SIZE is the first byte after the dynamic
 * area; total_obj_size holds it as a 32-bit number. */
#define ZIM_TESTGLOBALDISCARD_DYNAMIC_OFFSET(npd_size) (224u + (uint64_t)(npd_size))
#define ZIM_TESTGLOBALDISCARD_OBJECT_SIZE(n, npd_size, count) (224u + (uint64_t)(npd_size) + 0u * (uint64_t)(n) + 0u * (uint64_t)(count))

/* The header and data fields as X-macro lists: X(TESTGLOBALDISCARD, name or number) for each,
 * to build code over every field from the constants above. */
#define ZIM_TESTGLOBALDISCARD_HEADER_FIELDS(X) X(TESTGLOBALDISCARD, 0) X(TESTGLOBALDISCARD, 1)
#define ZIM_TESTGLOBALDISCARD_INLINE_FIELDS(X) X(TESTGLOBALDISCARD, 0) X(TESTGLOBALDISCARD, 1) X(TESTGLOBALDISCARD, 2)
#define ZIM_TESTGLOBALDISCARD_ARRAY_FIELDS(X)

/* Ownership: a server object from qor_srv_testglobaldiscard_ctor is a heap block that its
 * creator frees with free(); a heap copy from zim_testglobaldiscard_copy_ctor or
 * zim_testglobaldiscard_snapshot is released with zim_testglobaldiscard_clnt_copy_dtor; objects and copies made _with_shm live in the
 * shared-memory pool and are never released singly. Allocation failures and
 * failed layout checks end the process with an assertion report. */

ZIM_TABLES_API void qor_testglobaldiscard_fix_ptrs(uint32_t npd_size, qor_testglobaldiscard_obj_st obj_inst);
ZIM_TABLES_API void zim_testglobaldiscard_fix_ptrs_from_base(qor_testglobaldiscard_obj_st obj_inst);
ZIM_TABLES_API void qor_testglobaldiscard_add_dynamic_to_obj_size(uint32_t *obj_size_ptr);
ZIM_TABLES_API uint32_t qor_testglobaldiscard_get_obj_size(void);
ZIM_TABLES_API zim_wisp_enums_t zim_testglobaldiscard_get_wisp_enums(void);
ZIM_TABLES_API void qor_testglobaldiscard_read_dbobj(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst);
ZIM_TABLES_API void qor_testglobaldiscard_write_dbobj_base(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst);
ZIM_TABLES_API void qor_testglobaldiscard_read_dbobj_base(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst);
ZIM_TABLES_API srv_testglobaldiscard_t qor_srv_testglobaldiscard_ctor(void);
ZIM_TABLES_API srv_testglobaldiscard_t zim_srv_testglobaldiscard_ctor_with_shm(void);
ZIM_TABLES_API srv_testglobaldiscard_t zim_testglobaldiscard_copy_ctor(qor_testglobaldiscard_obj_st src);
ZIM_TABLES_API srv_testglobaldiscard_t zim_testglobaldiscard_copy_ctor_with_shm(qor_testglobaldiscard_obj_st src);
ZIM_TABLES_API void zim_testglobaldiscard_clnt_copy_dtor(qor_testglobaldiscard_obj_st obj_inst);

/* One try of zim_testglobaldiscard_snapshot_with_version at a version of an object of the
 * mapped versioned pool: 1 when the snapshot is done (*copy the copy, or null
 * with errno set), 0 when a write overlapped the try. */
ZIM_TABLES_INLINE int zim_testglobaldiscard_snapshot_try(qor_testglobaldiscard_obj_st obj, uint64_t *version, uint32_t npd_size,
                                     zim_tables_whole_t at, qor_testglobaldiscard_obj_st *copy) {
  const uint64_t header_bytes =
      (ZIM_TESTGLOBALDISCARD_COUNT_OFFSET > ZIM_OBJ_TOTAL_SIZE_OFFSET ? ZIM_TESTGLOBALDISCARD_COUNT_OFFSET : ZIM_OBJ_TOTAL_SIZE_OFFSET) + 4u;
  *copy = NULL;
  if (!ZIM_TABLES_WHOLE_FOUND(at, header_bytes, "zim_testglobaldiscard_snapshot_with_version")) return 1;
  const uint32_t count = 0u;
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_TESTGLOBALDISCARD_OBJECT_SIZE(0u, npd_size, count);
  const zim_tables_try_t sizes =
      ZIM_TABLES_WHOLE_SIZES(obj, at, size, layout_size, header_bytes, "zim_testglobaldiscard_snapshot_with_version");
  if (sizes != ZIM_TABLES_TRY_COPY) return sizes == ZIM_TABLES_TRY_DONE;
  uint8_t *bytes;
  if (!zim_tables_whole_copy(&bytes, obj, at, size, ZIM_TESTGLOBALDISCARD_COUNT_OFFSET, count, version)) return 0;
  *copy = (qor_testglobaldiscard_obj_st)bytes;
  return 1;
}

/* zim_testglobaldiscard_snapshot_with_version's tries after the first, until one is whole. */
ZIM_TABLES_RETRIES qor_testglobaldiscard_obj_st zim_testglobaldiscard_snapshot_again(qor_testglobaldiscard_obj_st obj, uint64_t *version, uint32_t npd_size) {
  qor_testglobaldiscard_obj_st copy;
  uint32_t tries = 2;
  while (!zim_testglobaldiscard_snapshot_try(obj, version, npd_size, zim_tables_whole_again(obj, tries), &copy)) ++tries;
  return copy;
}

/* zim_testglobaldiscard_snapshot_with_version of an object of the mapped versioned pool. */
ZIM_TABLES_OUT_OF_LINE qor_testglobaldiscard_obj_st zim_testglobaldiscard_snapshot_whole(qor_testglobaldiscard_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD, "zim_testglobaldiscard_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_TESTGLOBALDISCARD);
  qor_testglobaldiscard_obj_st copy;
  if (zim_testglobaldiscard_snapshot_try(obj, version, npd_size, zim_tables_whole_first(obj), &copy)) return copy;
  return zim_testglobaldiscard_snapshot_again(obj, version, npd_size);
}

/* zim_testglobaldiscard_snapshot_with_version of any other object: copied once, as it stands. */
ZIM_TABLES_OUT_OF_LINE qor_testglobaldiscard_obj_st zim_testglobaldiscard_snapshot_as_is(qor_testglobaldiscard_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD, "zim_testglobaldiscard_snapshot_with_version");
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_TESTGLOBALDISCARD);
  if (version != NULL) *version = 0;
  const uint32_t count = 0u;
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = ZIM_TESTGLOBALDISCARD_OBJECT_SIZE(0u, npd_size, count);
  ZIM_TABLES_CHECK_SNAPSHOT_SIZE(size, layout_size, "zim_testglobaldiscard_snapshot_with_version");
  qor_testglobaldiscard_obj_st copy = (qor_testglobaldiscard_obj_st)zim_tables_snapshot_bytes(obj, size, ZIM_TESTGLOBALDISCARD_COUNT_OFFSET, count);
  return copy;
}

/* A snapshot of obj: its total_obj_size bytes in a new heap block with the
 * pointers fixed for the block, for reading an object without writing a byte
 * of it (a pool object that another process owns, mapped here at another
 * address). Null when malloc fails (ENOMEM); release it with
 * zim_testglobaldiscard_clnt_copy_dtor. Snapshots print nothing.
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
static inline qor_testglobaldiscard_obj_st zim_testglobaldiscard_snapshot_with_version(qor_testglobaldiscard_obj_st obj, uint64_t *version) {
  if (zim_tables_in_versioned_pool(obj)) return zim_testglobaldiscard_snapshot_whole(obj, version);
  return zim_testglobaldiscard_snapshot_as_is(obj, version);
}

/* zim_testglobaldiscard_snapshot_with_version without the version. */
static inline qor_testglobaldiscard_obj_st zim_testglobaldiscard_snapshot(qor_testglobaldiscard_obj_st obj) {
  return zim_testglobaldiscard_snapshot_with_version(obj, NULL);
}

/* Accessors of every data field: zim_testglobaldiscard_get_<f>, _set_<f>, _has_<f> and
 * _clear_<f>, with an index i for a run of fields or an array element, and
 * zim_testglobaldiscard_<f>_length for an array (the object's count, or N). <f> is the
 * field's name or field_<number>. Values of 1, 2, 4 or 8 bytes pass as
 * uint8_t to uint64_t; wider ones as bytes: get returns their address, set
 * copies the field's width from value. set writes the value, then its flag
 * with release ordering; has reads the flag with acquire ordering; clear
 * zeroes it; get ignores it. Each checks first that obj is not null and of
 * table id 3, that an index lies inside the run or the array, and
 * that an array element and flag lie inside obj's total_obj_size bytes; a
 * failed check ends the process with an assertion report naming the accessor,
 * before anything is read or written, whether or not NDEBUG is set. In a
 * versioned pool, set and clear also end it so outside this process's open
 * write of obj (zim_shm_pool_write_begin to _end, or from its allocation to
 * its first write_end); they never open one themselves. Arrays
 * are reached through the object's own pointers: fix them after a move first,
 * or read a snapshot. */

/* 0: 200:4 */
static inline uint32_t zim_testglobaldiscard_get_field_0(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  return zim_tables_load_u32(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_0_OFFSET));
}
static inline void zim_testglobaldiscard_set_field_0(qor_testglobaldiscard_obj_st obj, uint32_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_0_OFFSET), &value, 4u, zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_0_FLAG));
}
static inline zim_bool_t zim_testglobaldiscard_has_field_0(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_0_FLAG));
}
static inline void zim_testglobaldiscard_clear_field_0(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_0_FLAG));
}

/* 1: 204:1 */
static inline uint8_t zim_testglobaldiscard_get_field_1(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  return zim_tables_load_u8(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_1_OFFSET));
}
static inline void zim_testglobaldiscard_set_field_1(qor_testglobaldiscard_obj_st obj, uint8_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_1_OFFSET), &value, 1u, zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_1_FLAG));
}
static inline zim_bool_t zim_testglobaldiscard_has_field_1(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_1_FLAG));
}
static inline void zim_testglobaldiscard_clear_field_1(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_1_FLAG));
}

/* 2: 208:8 */
static inline uint64_t zim_testglobaldiscard_get_field_2(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  return zim_tables_load_u64(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_2_OFFSET));
}
static inline void zim_testglobaldiscard_set_field_2(qor_testglobaldiscard_obj_st obj, uint64_t value) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_2_OFFSET), &value, 8u, zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_2_FLAG));
}
static inline zim_bool_t zim_testglobaldiscard_has_field_2(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  return zim_tables_flag_up(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_2_FLAG));
}
static inline void zim_testglobaldiscard_clear_field_2(qor_testglobaldiscard_obj_st obj) {
  ZIM_TABLES_CHECK_OBJECT(obj, ZIM_TABLE_ID_TESTGLOBALDISCARD);
  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower(zim_tables_at(obj, ZIM_TESTGLOBALDISCARD_FIELD_2_FLAG));
}

#ifdef __cplusplus
}

#include "zim/tables/handles.hpp"

/* What the owning handles of zim/tables/handles.hpp call for type testglobaldiscard. */
namespace zim_tables {
template <>
struct TypeOps<qor_testglobaldiscard_obj> {
  static qor_testglobaldiscard_obj *make(uint32_t) { return qor_srv_testglobaldiscard_ctor(); }
  static qor_testglobaldiscard_obj *copy(qor_testglobaldiscard_obj *src) { return zim_testglobaldiscard_copy_ctor(src); }
  static qor_testglobaldiscard_obj *snapshot(qor_testglobaldiscard_obj *obj, uint64_t *version) {
    return zim_testglobaldiscard_snapshot_with_version(obj, version);
  }
  static void release(qor_testglobaldiscard_obj *obj) { zim_testglobaldiscard_clnt_copy_dtor(obj); }
};
}  // namespace zim_tables
#endif

/* The layout note (zim/tables/layout_note.h): this type's layout record, for
 * the pools shared with processes built from other definitions to compare. */
#if defined(__ELF__) && !defined(ZIM_TABLES_NO_LAYOUT_NOTE)
__asm__(".pushsection .note.zim_tables.layout,\"aGR\",%note,zim_tables_layout.testglobaldiscard.ce515bd53c8e10fb,comdat\n"
        " .balign 4\n .long 11\n .long 5f - 4f\n .long 0x7a4c0001\n .asciz \"zim_tables\"\n"
        " .balign 4\n4:\n .long 1\n .long 3\n .long 0x3c8e10fb\n .long 0xce515bd5\n"
        " .long 3f - 2f\n2:\n"
        " .ascii \"type 3 testglobaldiscard\\n\"\n"
        " .ascii \"  fingerprint ce515bd53c8e10fb\\n\"\n"
        " .ascii \"  class fixed\\n\"\n"
        " .ascii \"  fixed_size 224\\n\"\n"
        " .ascii \"  count_param off\\n\"\n"
        " .ascii \"  size_check off\\n\"\n"
        " .ascii \"  obj_flags_bit5 clear\\n\"\n"
        " .ascii \"  header 192:4 196:4\\n\"\n"
        " .ascii \"  field 200 width 4 run 1 flag 216\\n\"\n"
        " .ascii \"  field 204 width 1 run 1 flag 217\\n\"\n"
        " .ascii \"  field 208 width 8 run 1 flag 218\\n\"\n"
        " .ascii \"  npd_present 219\\n\"\n"
        " .ascii \"  dynamic none\\n\"\n"
        " .ascii \"  check fix_ptrs none\\n\"\n"
        " .ascii \"  check size_ptr 65 \\\"void qor_testglobaldiscard_add_dynamic_to_obj_size(uint32_t *)\\\"\\n\"\n"
        " .ascii \"  check alloc 186 \\\"srv_testglobaldiscard_t testglobaldiscard_srv_alloc(uint32_t, zim_bool_t)\\\"\\n\"\n"
        " .ascii \"  wisp 1118 1119 1120 1118 1119 1120\\n\"\n"
        "3:\n .balign 4\n5:\n .popsection\n");
#endif

#endif /* ZIM_TABLES_TESTGLOBALDISCARD_H */
