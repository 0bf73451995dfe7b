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

/* A snapshot's try at a whole version of obj, returned in registers: the
 * even version it copies at and the object's block size, cut at the pool's
 * start map. An odd version (bytes 0): no try, errno EOWNERDEAD when the object is torn (its
 * writer died inside a write), EBUSY when a live writer's write, or the
 * writes that keep coming, last past ZIM_SHM_POOL_WRITE_BOUND_US, EINVAL when
 * obj is not a live object of the mapped versioned pool. Writes nothing in
 * the pool, prints nothing. */
typedef struct zim_tables_whole {
  uint64_t version;
  uint64_t bytes;
} zim_tables_whole_t;

/* Where an object's version word lies in front of it: the first word of its
 * version line. Read only once a try found the line. */
#define ZIM_TABLES_VERSION_WORD_BEFORE 48u

/* The tries are called from the GOT, not through a PLT stub, where the
 * compiler can: they are on every snapshot's path. */
#if defined(__has_attribute)
#if __has_attribute(noplt)
#define ZIM_TABLES_NO_PLT __attribute__((noplt))
#endif
#endif
#ifndef ZIM_TABLES_NO_PLT
#define ZIM_TABLES_NO_PLT
#endif

/* The first try of a snapshot of obj. */
ZIM_TABLES_NO_PLT zim_tables_whole_t zim_tables_whole_first(const void *obj);

/* The try numbered tries (2 and on) of a snapshot of obj whose tries a
 * write overlapped: from the ninth on, bounded by ZIM_SHM_POOL_WRITE_BOUND_US
 * (EBUSY past it). */
ZIM_TABLES_NO_PLT zim_tables_whole_t zim_tables_whole_again(const void *obj, uint32_t tries);

/* 1 when this process has a write of obj, an object of the mapped versioned
 * pool, under way (its bracket is open, or it allocated obj and did not end
 * the first write yet); else 0. */
int zim_tables_write_is_open(const void *obj);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_VERSIONS_H */
