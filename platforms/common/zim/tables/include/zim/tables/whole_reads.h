/* SPDX-License-Identifier: Apache-2.0 */
/* What every type header's snapshot shares to copy an object whole, and the
 * accessors' writers' check of a bracket. All static inline over
 * zim/tables/versions.h; C99 and later, and C++.
 *
 * A heap object, or an object of a pool without versions, is copied once, as
 * it stands, as snapshots always copied (zim_tables_snapshot_bytes). An object of the mapped
 * versioned pool is copied at an even version: a try reads the version (acquire), the count and the
 * size, copies, and after an acquire fence reads the version again; a try that saw it change is
 * thrown away and made again. A size or count that disagrees with the layout, or a size past the
 * object's block, ends the process only when the try that read it was whole: a writer's half-made
 * change is retried, never reported. Reads never pass the block's size in the pool, and the copy's
 * pointers are computed from its own bytes, never taken from the pool.
 *
 * The copy of a versioned object is a memcpy between the acquire load of
 * the version and the acquire fence before its second load, as seqlock
 * readers do: the compiler may not move the copy's loads out of that span,
 * and a copy that raced a write is thrown away unused. The count and size it
 * checks before copying are single relaxed atomic loads. Under
 * ThreadSanitizer the copy's reads are marked as ones that race by design.
 * ZIM_TABLES_SNAPSHOT_WORDS 1 copies with word-sized relaxed atomic loads
 * instead (docs/design/versions.md compares the two). */
#ifndef ZIM_TABLES_WHOLE_READS_H
#define ZIM_TABLES_WHOLE_READS_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "zim/tables/accessors.h"
#include "zim/tables/table_object.h"
#include "zim/tables/versions.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__SANITIZE_THREAD__)
#define ZIM_TABLES_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZIM_TABLES_UNDER_TSAN 1
#endif
#endif
#ifndef ZIM_TABLES_SNAPSHOT_WORDS
#define ZIM_TABLES_SNAPSHOT_WORDS 0
#endif
/* Inlined even where a unit already grew past the compiler's inlining budget
 * (a catalogue of every type): each is a few instructions at its call. */
#define ZIM_TABLES_INLINE static inline __attribute__((__always_inline__))
/* A snapshot's two ways, a versioned object's tries and any other object's
 * copy, the snapshot a compare and a call of one of them. Plain static
 * inline functions: a unit that snapshots nothing emits neither, even
 * unoptimised, and needs no platform library to link (a noinline inline
 * function is refused by GCC's -Wattributes). */
#define ZIM_TABLES_OUT_OF_LINE static inline
/* A versioned object's tries after the first: cold, so that nothing of the
 * retries (their count, what their loop keeps) is set up on the first try's
 * path. */
#define ZIM_TABLES_RETRIES static inline __attribute__((__cold__))
#ifdef ZIM_TABLES_UNDER_TSAN
/* The sanitizer's runtime defines these. */
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
#endif

/* Whether obj lies in this process's mapping of a versioned pool. */
ZIM_TABLES_INLINE int zim_tables_in_versioned_pool(const void *obj) {
  const uintptr_t begin = __atomic_load_n(&zim_tables_versioned_span.begin, __ATOMIC_RELAXED);
  const uintptr_t bytes = __atomic_load_n(&zim_tables_versioned_span.bytes, __ATOMIC_RELAXED);
  return (uintptr_t)obj - begin < bytes;
}

/* A set or clear of obj: in a versioned pool, only inside this process's
 * open bracket of it. */
ZIM_TABLES_INLINE void zim_tables_write_check(const void *obj, const char *file, unsigned int line,
                                              const char *accessor) {
  if (__builtin_expect(zim_tables_in_versioned_pool(obj), 0) && !zim_tables_write_is_open(obj)) {
    __assert_fail("a write of obj is open (zim_shm_pool_write_begin)", file, line, accessor);
  }
}
#define ZIM_TABLES_CHECK_WRITE(obj) zim_tables_write_check((obj), __FILE__, __LINE__, __func__)

/* A snapshot's bytes outside a versioned pool: size bytes of obj in a new
 * heap block, or null when malloc fails. The size and count that the
 * snapshot read once and checked are written over what the copy read, so
 * that the copy agrees with its own block whatever a writer did meanwhile
 * (count_field 0: the type has no count). The block is not zero-filled: the
 * copy writes every one of its size bytes, padding included. */
ZIM_TABLES_INLINE uint8_t *zim_tables_snapshot_bytes(const void *obj, uint32_t size,
                                                     uint64_t count_field, uint32_t count) {
  uint8_t *copy = (uint8_t *)malloc(size);
  if (copy == NULL) return NULL;
  memcpy(copy, obj, size);
  memcpy(copy + ZIM_OBJ_TOTAL_SIZE_OFFSET, &size, sizeof size);
  if (count_field != 0) memcpy(copy + count_field, &count, sizeof count);
  return copy;
}

/* A snapshot's total_obj_size against the size of its count, N and NPD size. */
ZIM_TABLES_INLINE void zim_tables_size_check(uint64_t size, uint64_t layout_size, const char *file,
                                             unsigned int line, const char *snapshot) {
  if (__builtin_expect(size != layout_size, 0)) {
    __assert_fail("total_obj_size == the size of its count, N and NPD size", file, line, snapshot);
  }
}
#define ZIM_TABLES_CHECK_SNAPSHOT_SIZE(size, layout_size, snapshot) \
  zim_tables_size_check((size), (layout_size), __FILE__, __LINE__, (snapshot))

/* Whether obj's version still is the try's: nothing the try read was
 * written since. */
ZIM_TABLES_INLINE int zim_tables_whole_still(const void *obj, uint64_t version) {
  const uint64_t *at =
      (const uint64_t *)(const void *)((const uint8_t *)obj - ZIM_TABLES_VERSION_WORD_BEFORE);
#ifdef ZIM_TABLES_UNDER_TSAN
  /* The sanitizer does not model fences; the copy's reads are not checked. */
  return __atomic_load_n(at, __ATOMIC_ACQUIRE) == version;
#else
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  return __atomic_load_n(at, __ATOMIC_RELAXED) == version;
#endif
}

/* What a try's checks leave it to do: try again (a write overlapped it),
 * end the snapshot with null (no try: errno set), or copy. */
typedef enum { ZIM_TABLES_TRY_AGAIN, ZIM_TABLES_TRY_DONE, ZIM_TABLES_TRY_COPY } zim_tables_try_t;

/* The bytes of obj that a snapshot reads before its first try: the table
 * id's, which the object's check reads. */
#define ZIM_TABLES_READ_BEFORE_TRY (ZIM_OBJ_TABLE_ID_OFFSET + 2u)

/* 1 when the try found obj's block holding its min_bytes header; 0 when the
 * snapshot gives null (errno set). A smaller block is damage, not a write
 * under way. */
ZIM_TABLES_INLINE int zim_tables_whole_held(zim_tables_whole_t at, uint64_t min_bytes,
                                            const char *file, unsigned int line,
                                            const char *snapshot) {
  if (__builtin_expect(at.bytes >= min_bytes, 1)) return 1;
  if ((at.version & 1) != 0) return 0;
  __assert_fail("the object's block holds its header", file, line, snapshot);
}

/* zim_tables_whole_held before the header's count and size are read. A
 * header no longer than what the object's check read already waits for the
 * size check: a failed try's size is never inside its block (0 bytes), so
 * the first try's path keeps one compare of the block's bytes. */
ZIM_TABLES_INLINE int zim_tables_whole_found(zim_tables_whole_t at, uint64_t min_bytes,
                                             const char *file, unsigned int line,
                                             const char *snapshot) {
  if (min_bytes <= ZIM_TABLES_READ_BEFORE_TRY) return 1;
  return zim_tables_whole_held(at, min_bytes, file, line, snapshot);
}

/* Copy when the try's size and count agree with the layout and the block;
 * else done when there was no try, again when the try was not whole. */
ZIM_TABLES_INLINE zim_tables_try_t zim_tables_whole_sizes(const void *obj, zim_tables_whole_t at,
                                                          uint64_t size, uint64_t layout_size,
                                                          uint64_t min_bytes, const char *file,
                                                          unsigned int line, const char *snapshot) {
  if (__builtin_expect(size == layout_size && size <= at.bytes, 1)) return ZIM_TABLES_TRY_COPY;
  if (!zim_tables_whole_held(at, min_bytes, file, line, snapshot)) return ZIM_TABLES_TRY_DONE;
  if (!zim_tables_whole_still(obj, at.version)) return ZIM_TABLES_TRY_AGAIN;
  if (size != layout_size) {
    __assert_fail("total_obj_size == the size of its count, N and NPD size", file, line, snapshot);
  }
  __assert_fail("total_obj_size <= the size of the object's block", file, line, snapshot);
}

/* size bytes from a versioned object that a writer may be changing. */
ZIM_TABLES_INLINE void zim_tables_copy_racing(uint8_t *to, const uint8_t *from, uint32_t size) {
#if ZIM_TABLES_SNAPSHOT_WORDS
  /* from is 16-aligned: pool objects are. */
  const uint64_t *words = (const uint64_t *)(const void *)from;
  uint32_t at = 0;
  for (; at + 8 <= size; at += 8) {
    const uint64_t w = __atomic_load_n(words + at / 8, __ATOMIC_RELAXED);
    memcpy(to + at, &w, 8);
  }
  for (; at < size; ++at) to[at] = __atomic_load_n(from + at, __ATOMIC_RELAXED);
#else
#ifdef ZIM_TABLES_UNDER_TSAN
  AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
#endif
  memcpy(to, from, size);
#ifdef ZIM_TABLES_UNDER_TSAN
  AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#endif
#endif
}

/* A try's copy: 1 when the snapshot is done, *copy the new heap block or
 * null when malloc failed; 0 to try again. The size and count the try checked
 * are written over what the copy read (count_field 0: the type has no count).
 * As zim_tables_snapshot_bytes, the copy writes every byte of the block. */
ZIM_TABLES_INLINE int zim_tables_whole_copy(uint8_t **copy, const void *obj, zim_tables_whole_t at,
                                            uint32_t size, uint64_t count_field, uint32_t count,
                                            uint64_t *version) {
  uint8_t *bytes = (uint8_t *)malloc(size);
  *copy = bytes;
  if (bytes == NULL) return 1;
  zim_tables_copy_racing(bytes, (const uint8_t *)obj, size);
  if (!zim_tables_whole_still(obj, at.version)) {
    free(bytes);
    return 0;
  }
  if (version != NULL) *version = at.version;
  memcpy(bytes + ZIM_OBJ_TOTAL_SIZE_OFFSET, &size, sizeof size);
  if (count_field != 0) memcpy(bytes + count_field, &count, sizeof count);
  return 1;
}

/* A snapshot's reports name the snapshot its caller called. */
#define ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, table_id, snapshot)                                 \
  zim_tables_object_check((obj), (uint16_t)(table_id), "table id of obj == " #table_id, __FILE__, \
                          __LINE__, (snapshot))
#define ZIM_TABLES_WHOLE_FOUND(at, min_bytes, snapshot) \
  zim_tables_whole_found((at), (min_bytes), __FILE__, __LINE__, (snapshot))
#define ZIM_TABLES_WHOLE_SIZES(obj, at, size, layout_size, min_bytes, snapshot)               \
  zim_tables_whole_sizes((obj), (at), (size), (layout_size), (min_bytes), __FILE__, __LINE__, \
                         (snapshot))

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_WHOLE_READS_H */
