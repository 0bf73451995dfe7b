/* SPDX-License-Identifier: Apache-2.0 */
/* The pieces that every type header's accessors share: byte addresses inside
 * an object, unaligned loads and stores, the presence-flag protocol and the
 * index check. All static inline, so the library exports nothing for them;
 * they compile as C99 and later and as C++.
 *
 * A value is written before its flag, the flag with release ordering, and a
 * flag is read with acquire ordering: a reader in another thread or process
 * that sees the flag set also sees the value. */
#ifndef ZIM_TABLES_ACCESSORS_H
#define ZIM_TABLES_ACCESSORS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "zim/tables/platform.h"

#ifdef __cplusplus
extern "C" {
#define ZIM_TABLES_NOTHROW noexcept
#else
#define ZIM_TABLES_NOTHROW
#endif

/* Declared as the C library declares it: assert.h hides the declaration when
 * NDEBUG is set, and the index checks report whatever NDEBUG says. */
void __assert_fail(const char *assertion, const char *file, unsigned int line,
                   const char *function) ZIM_TABLES_NOTHROW __attribute__((__noreturn__));

static inline uint8_t *zim_tables_at(const void *obj, uint64_t offset) {
  return (uint8_t *)obj + offset;
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

/* Every indexed accessor checks before it reads or writes anything. */
static inline void zim_tables_index_check(uint64_t index, uint64_t length, const char *file,
                                          unsigned int line, const char *accessor) {
  if (index >= length) __assert_fail("index < length", file, line, accessor);
}

/* In an accessor: reports under the accessor's own name. */
#define ZIM_TABLES_CHECK_INDEX(i, length) \
  zim_tables_index_check((i), (length), __FILE__, __LINE__, __func__)

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_ACCESSORS_H */
