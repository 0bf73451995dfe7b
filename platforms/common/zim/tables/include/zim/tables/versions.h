/* SPDX-License-Identifier: Apache-2.0 */
/* What the type headers' snapshots and accessors reach of a versioned pool,
 * the platform's pool (libzim_memory) defines. The table library itself calls
 * none of it: only the static inline snapshots and accessors a program
 * compiles do.
 *
 * zim_tables_versioned_span is the address range of this process's mapping
 * of a versioned pool, (0, 0) while none is mapped. The accessors' writers
 * compare an object's address against it first, so that a heap object or an
 * object of a pool without versions pays one subtraction and one compare. */
#ifndef ZIM_TABLES_VERSIONS_H
#define ZIM_TABLES_VERSIONS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zim_tables_span {
  uintptr_t begin; /* the mapping's first byte */
  uintptr_t bytes; /* its size; 0: no versioned pool mapped */
} zim_tables_span_t;

/* Written by the pool when it maps and unmaps a versioned pool; read with
 * relaxed atomic loads. */
extern zim_tables_span_t zim_tables_versioned_span;

/* One try of a whole copy of an object of the mapped versioned pool. */
typedef struct zim_tables_line_read {
  const uint64_t *version_at; /* the object's version word in this mapping */
  uint64_t version;           /* even: the version this try copies at */
  uint64_t bytes;             /* the object's block size, bounded by the mapping */
  uint64_t deadline_ns;       /* 0 before the first try; the retries' bound */
  uint32_t tries;
  uint32_t reserved;
} zim_tables_line_read_t;

/* Starts a try of read (zero it before the first): 0 once obj's version is
 * even. -1 with errno EOWNERDEAD when the object is torn (its writer died
 * inside a write), EBUSY when a live writer's write, or the writes that keep
 * coming, last past ZIM_SHM_POOL_WRITE_BOUND_US, EINVAL when obj is not a live
 * object of the mapped versioned pool. Writes nothing, prints nothing. */
int zim_tables_line_begin(const void *obj, zim_tables_line_read_t *read);

/* 1 when this process has a write of obj, an object of the mapped versioned
 * pool, under way (its bracket is open, or it allocated obj and did not end
 * the first write yet); else 0. */
int zim_tables_write_is_open(const void *obj);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_VERSIONS_H */
