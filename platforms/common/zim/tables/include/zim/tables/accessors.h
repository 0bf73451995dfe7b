/* SPDX-License-Identifier: Apache-2.0 */
/* The pieces that every type header's accessors and snapshots share: byte
 * addresses inside an object, unaligned loads and stores, the presence-flag
 * protocol and the checks. All static inline, so the library exports nothing
 * for them; they compile as C99 and later and as C++.
 *
 * A value is written before its flag, the flag with release ordering, and a
 * flag is read with acquire ordering: a reader in another thread or process
 * that sees the flag set also sees the value.
 *
 * Every accessor checks, before it reads or writes anything, that its object
 * is not null and holds its type's table id (a u16 at
 * ZIM_OBJ_TABLE_ID_OFFSET), that an index lies inside its run or array, and
 * for an array that the element and the flag it reaches lie whole inside the
 * object's total_obj_size bytes: an object of another type, pointers not
 * fixed for this mapping and a count larger than the object are refused. A
 * failed check ends the process through __assert_fail under the accessor's
 * name, whatever NDEBUG says. The checks cost a few loads, compares and
 * never-taken branches per call (docs/benchmarks.md). Snapshots and the
 * writers' bracket check are in zim/tables/whole_reads.h. */
#ifndef ZIM_TABLES_ACCESSORS_H
#define ZIM_TABLES_ACCESSORS_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

#ifdef __cplusplus
extern "C" {
#define ZIM_TABLES_NOTHROW noexcept
#else
#define ZIM_TABLES_NOTHROW
#endif

/* Declared as the C library declares it: assert.h hides the declaration when
 * NDEBUG is set, and the checks report whatever NDEBUG says. */
void __assert_fail(const char *assertion, const char *file, unsigned int line,
                   const char *function) ZIM_TABLES_NOTHROW __attribute__((__noreturn__));

/* Through uintptr_t: an accessor's object is never const, and a cast that
 * drops const would warn under -Wcast-qual. */
static inline uint8_t *zim_tables_at(const void *obj, uint64_t offset) {
  return (uint8_t *)(uintptr_t)obj + offset;
}

/* Where the in-object pointer at offset leads. */
static inline uint8_t *zim_tables_pointee(const void *obj, uint64_t offset) {
  uint8_t *target;
  memcpy(&target, zim_tables_at(obj, offset), sizeof target);
  return target;
}

static inline uint8_t zim_tables_load_u8(const uint8_t *at) { return *at; }
static inline uint16_t zim_tables_load_u16(const uint8_t *at) {
  uint16_t v;
  memcpy(&v, at, sizeof v);
  return v;
}
static inline uint32_t zim_tables_load_u32(const uint8_t *at) {
  uint32_t v;
  memcpy(&v, at, sizeof v);
  return v;
}
static inline uint64_t zim_tables_load_u64(const uint8_t *at) {
  uint64_t v;
  memcpy(&v, at, sizeof v);
  return v;
}

/* A load that the compiler cannot repeat later: what a snapshot checks is
 * what it uses, whatever a writer does meanwhile. at is 4-aligned (the base
 * header's size and every count field are). */
static inline uint32_t zim_tables_load_once_u32(const uint8_t *at) {
  return __atomic_load_n((const uint32_t *)(const void *)at, __ATOMIC_RELAXED);
}

/* The value's width bytes, then its flag. */
static inline void zim_tables_store(uint8_t *at, const void *value, size_t width, uint8_t *flag) {
  memcpy(at, value, width);
  __atomic_store_n(flag, (uint8_t)1, __ATOMIC_RELEASE);
}

static inline zim_bool_t zim_tables_flag_up(const uint8_t *flag) {
  return __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0 ? ZIM_TRUE : ZIM_FALSE;
}

static inline void zim_tables_flag_lower(uint8_t *flag) {
  __atomic_store_n(flag, (uint8_t)0, __ATOMIC_RELEASE);
}

/* The checks, each with the caller's file, line and name for the report. */
static inline void zim_tables_object_check(const void *obj, uint16_t table_id,
                                           const char *assertion, const char *file,
                                           unsigned int line, const char *accessor) {
  if (__builtin_expect(obj == NULL, 0)) __assert_fail("obj != NULL", file, line, accessor);
  if (__builtin_expect(zim_tables_load_u16(zim_tables_at(obj, ZIM_OBJ_TABLE_ID_OFFSET)) != table_id,
                       0)) {
    __assert_fail(assertion, file, line, accessor);
  }
}

static inline void zim_tables_index_check(uint64_t index, uint64_t length, const char *file,
                                          unsigned int line, const char *accessor) {
  if (__builtin_expect(index >= length, 0)) __assert_fail("index < length", file, line, accessor);
}

/* Element i of size bytes of the array whose pointer lies at ptr_at: its
 * address, once it lies whole inside the object's total_obj_size bytes. A
 * pointer below the object makes its distance wrap past any 32-bit size; the
 * end, at most 2^32 + size x 2^32, cannot wrap 64 bits. */
static inline uint8_t *zim_tables_element(const void *obj, uint64_t ptr_at, uint64_t size,
                                          uint32_t i, const char *assertion, const char *file,
                                          unsigned int line, const char *accessor) {
  const uint64_t from = (uint64_t)((uintptr_t)zim_tables_pointee(obj, ptr_at) - (uintptr_t)obj);
  const uint64_t total = zim_tables_load_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  if (__builtin_expect(from > total || from + size * ((uint64_t)i + 1) > total, 0)) {
    __assert_fail(assertion, file, line, accessor);
  }
  return zim_tables_at(obj, from + size * i);
}

/* In an accessor or a snapshot: report under its own name. */
#define ZIM_TABLES_CHECK_OBJECT(obj, table_id)                                                    \
  zim_tables_object_check((obj), (uint16_t)(table_id), "table id of obj == " #table_id, __FILE__, \
                          __LINE__, __func__)
#define ZIM_TABLES_CHECK_INDEX(i, length) \
  zim_tables_index_check((i), (length), __FILE__, __LINE__, __func__)
/* Element i of an array field and its flag, checked. */
#define ZIM_TABLES_ELEMENT(obj, ptr_at, elem_size, i)                                             \
  zim_tables_element((obj), (ptr_at), (elem_size), (i), "element inside obj", __FILE__, __LINE__, \
                     __func__)
#define ZIM_TABLES_ELEMENT_FLAG(obj, flags_ptr_at, i)                                       \
  zim_tables_element((obj), (flags_ptr_at), 1u, (i), "flag inside obj", __FILE__, __LINE__, \
                     __func__)

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_ACCESSORS_H */
