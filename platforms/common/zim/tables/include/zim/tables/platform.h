/* SPDX-License-Identifier: Apache-2.0 */
/* Platform operations that the table library asks of the running system,
 * and the table properties record that the copy constructors consult.
 * They are provided by the platform's companion libraries: libhulcon_config,
 * libparn, libzim_misc, libzim_memory and libzim_table_props (linking
 * zim_tables::zim_tables or `pkg-config zim_tables` brings them).
 *
 * Every one is keyed by table id only, and the library calls them from
 * whichever thread runs an operation: a platform provides them safe for
 * concurrent callers, as the simulated one does. N and the NPD sizes fix the
 * layout of every object, so they must not change while objects exist and
 * must agree among the processes that share objects. */
#ifndef ZIM_TABLES_PLATFORM_H
#define ZIM_TABLES_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The platform's boolean: 0 is false, 1 is true. */
typedef uint8_t zim_bool_t;
#define ZIM_FALSE ((zim_bool_t)0)
#define ZIM_TRUE ((zim_bool_t)1)

/* ZIM_MAX_TABLE_ID, the largest table id of any catalogue. */
#include <zim/tables/table_id.h>

/* ZIM_NUM_TABLE_TYPES and ZIM_FIRST_TABLE_ID: the number of table types in
 * the catalogue whose headers are found first, and its first table id; its
 * ids run contiguously from there. They describe that catalogue only and
 * bound no table id: other catalogues' objects share the platform. */
#include "zim/tables/catalogue_size.h"

/* Table properties record, one per table id. The library reads only the three
 * named fields, without locking, on every copy; the reserved bytes belong to
 * the platform, which sets the hooks before copies of that id run. */
typedef int (*zim_copy_shm_hook_t)(void *copy, zim_bool_t use_shm);
typedef int (*zim_copy_src_hook_t)(void *copy, void *src);

typedef struct zim_table_props {
  uint8_t platform_reserved0[88];
  uint8_t copy_hooks_on; /* non-zero: copy constructors call both hooks */
  uint8_t platform_reserved1[560 - 89];
  zim_copy_shm_hook_t copy_shm_hook; /* called first: (copy, use_shm) */
  uint8_t platform_reserved2[8];
  zim_copy_src_hook_t copy_src_hook; /* called second: (copy, source) */
  uint8_t platform_reserved3[56];
} zim_table_props_t;

#ifdef __cplusplus
static_assert(offsetof(zim_table_props_t, copy_hooks_on) == 88, "record layout");
static_assert(offsetof(zim_table_props_t, copy_shm_hook) == 560, "record layout");
static_assert(offsetof(zim_table_props_t, copy_src_hook) == 576, "record layout");
#else
_Static_assert(offsetof(zim_table_props_t, copy_hooks_on) == 88, "record layout");
_Static_assert(offsetof(zim_table_props_t, copy_shm_hook) == 560, "record layout");
_Static_assert(offsetof(zim_table_props_t, copy_src_hook) == 576, "record layout");
#endif

/* libhulcon_config: configured maximum number of NPUs (N), constant for the
 * life of the process; a per-NPU array holds N elements. */
uint32_t hulcon_config_get_max_num_npus(void);

/* libparn: size in bytes of the platform-dependent (NPD) area of a table id,
 * which follows the fixed part of each of its objects. */
uint32_t qor_npd_get_table_size(uint32_t table_id);

/* libzim_misc: a fresh object uid. */
uint32_t qor_getuid(void);

/* libzim_memory: zero-filled block of at least size bytes in the shared-memory
 * pool of the table id; null when the pool cannot supply it. Pool blocks are
 * never freed singly. */
void *zim_shm_table_pool_calloc(uint32_t table_id, uint64_t size);

/* libzim_table_props: the table properties record of a table id (0 to
 * ZIM_MAX_TABLE_ID). */
zim_table_props_t *zim_srv_table_props_get(uint32_t table_id);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_TABLES_PLATFORM_H */
