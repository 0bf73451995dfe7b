/* Generated from defs/000_test_if.tdef by zim_tablegen; do not edit. */
#ifndef ZIM_TABLES_TEST_IF_H
#define ZIM_TABLES_TEST_IF_H

#include <stdint.h>

#include "zim/tables/export.h"
#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

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
 * creator frees with free(); a heap copy from zim_test_if_copy_ctor is released
 * with zim_test_if_clnt_copy_dtor; objects and copies made _with_shm live in the
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

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_TEST_IF_H */
