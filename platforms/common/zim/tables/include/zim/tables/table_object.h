/* SPDX-License-Identifier: Apache-2.0 */
/* Byte offsets of the base-header fields of a table object that the table
 * library reads or writes. Every other byte of the 192-byte base header
 * belongs to the platform.
 *
 * An object is one block: base header, type header, data fields, presence
 * flags, NPD area, then its arrays, reached through pointers inside the
 * block. After an object is moved or mapped at another address, fix its
 * pointers (zim_<type>_fix_ptrs_from_base) before using its arrays.
 * Operations on one object need the caller's locking against writers of it;
 * distinct objects can be used from any threads. */
#ifndef ZIM_TABLES_TABLE_OBJECT_H
#define ZIM_TABLES_TABLE_OBJECT_H

#include <stdint.h>

#define ZIM_OBJ_BASE_HEADER_SIZE 192u
#define ZIM_OBJ_UID_OFFSET 120u            /* u32 */
#define ZIM_OBJ_RELEASE_STAMP_OFFSET 144u  /* u64 */
#define ZIM_OBJ_FLAGS_OFFSET 160u          /* u8 */
#define ZIM_OBJ_TOTAL_SIZE_OFFSET 168u     /* u32 */
#define ZIM_OBJ_TABLE_ID_OFFSET 178u       /* u16 */
#define ZIM_OBJ_ALLOC_STATE_OFFSET 186u    /* u8 */

#define ZIM_OBJ_FLAGS_BIT5 0x20u
/* Written at ZIM_OBJ_RELEASE_STAMP_OFFSET by zim_<type>_clnt_copy_dtor just
 * before it frees a heap copy. */
#define ZIM_OBJ_RELEASE_STAMP 0xdeadfeeeull

/* Kinds of array fields, as the layout constants ZIM_<TYPE>_FIELD_<F>_KIND
 * give them: per-NPU arrays hold N elements, counted arrays the count. */
#define ZIM_ARRAY_PER_NPU 1u
#define ZIM_ARRAY_COUNTED 2u

/* The six trace identifiers of a table type, returned by value. */
typedef struct zim_wisp_enums {
  uint32_t ids[6];
} zim_wisp_enums_t;

#endif /* ZIM_TABLES_TABLE_OBJECT_H */
