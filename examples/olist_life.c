/* SPDX-License-Identifier: Apache-2.0 */
/* The life of olist objects, a counted table type, as a C client of
 * libzim_tables sees it on the simulated platform: create, fill, copy, move
 * and fix up, copy into a versioned pool and change it there between
 * write_begin and write_end, read it by snapshot, release.
 *
 *   cc olist_life.c $(pkg-config --cflags --libs zim_tables)
 *   or, with CMake: target_link_libraries(app PRIVATE zim_tables::zim_tables) */
#define _POSIX_C_SOURCE 200809L /* getpid */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

/* olist's field 2 is a counted array of 8-byte elements, field 4 an inline
 * 4-byte field. A set stores the value before its presence flag, so a reader
 * in another process that sees the flag sees the value. */
static void fill(srv_olist_t obj) {
  uint32_t i;
  for (i = 0; i < zim_olist_field_2_length(obj); ++i) zim_olist_set_field_2(obj, i, 1000 + i);
  zim_olist_set_field_4(obj, 42);
}

/* 1 when obj holds what fill() wrote. */
static int intact(srv_olist_t obj, const char *what) {
  const uint32_t count = zim_olist_field_2_length(obj);
  uint32_t i;
  int ok = zim_olist_has_field_4(obj) && zim_olist_get_field_4(obj) == 42;
  for (i = 0; ok && i < count; ++i)
    ok = zim_olist_has_field_2(obj, i) && zim_olist_get_field_2(obj, i) == 1000 + i;
  printf("%-10s %u elements, %u bytes: %s\n", what, count, qor_olist_get_obj_size(count),
         ok ? "intact" : "DIFFERS");
  return ok;
}

/* A snapshot of a pool object that no write was under way through: a
 * writer's change between read_begin and read_end makes read_end fail, and
 * the copy is taken again. Null when the object stays under way. */
static srv_olist_t whole_snapshot(srv_olist_t obj) {
  for (;;) {
    uint64_t version;
    srv_olist_t copy;
    if (zim_shm_pool_read_begin(obj, &version) != 0) return NULL;
    copy = zim_olist_snapshot(obj);
    if (copy == NULL || zim_shm_pool_read_end(obj, version) == 0) return copy;
    zim_olist_clnt_copy_dtor(copy);
  }
}

/* A pool of its own, versioned: each object has a version, and every change
 * is published in the pool's feed of changes (64 entries here). The creator
 * removes the pool when it detaches. */
static int make_pool(void) {
  const zim_shm_pool_options_t options = {1, 0, 64, 16};
  char name[64];
  snprintf(name, sizeof name, "/olist_life.%ld", (long)getpid());
  if (zim_shm_pool_create_with(name, 1 << 22, &options) == 0) return 1;
  perror("zim_shm_pool_create_with");
  return 0;
}

int main(void) {
  const uint32_t count = 3;
  srv_olist_t server, heap_copy, pool_copy, snapshot;
  void *moved;
  int ok;

  /* The size: the fixed part, the NPD area (libparn) and two arrays of 8-byte
   * elements and their flags, as the header's constants place them. */
  const uint32_t npus = hulcon_config_get_max_num_npus();
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  const uint32_t size = qor_olist_get_obj_size(count);
  printf("olist (table id %u): %u bytes, elements from offset %llu, their flags from %llu\n",
         ZIM_TABLE_ID_OLIST, size,
         (unsigned long long)ZIM_OLIST_FIELD_2_STORAGE_OFFSET(npus, npd_size, count),
         (unsigned long long)ZIM_OLIST_FIELD_2_FLAGS_OFFSET(npus, npd_size, count));
  if (size != ZIM_OLIST_OBJECT_SIZE(npus, npd_size, count)) return 1;

  /* A server object in the heap belongs to its creator, who frees it. */
  server = qor_srv_olist_ctor(count);
  fill(server);
  ok = intact(server, "server");

  /* A client copy in the heap: released with the type's copy destructor. */
  heap_copy = zim_olist_copy_ctor(server);
  ok &= intact(heap_copy, "heap copy");

  /* Moved (as another process sees an object at another address), the array
   * pointers still point into the old block until the fix-up. */
  moved = malloc(size);
  memcpy(moved, server, size);
  free(server);
  zim_olist_fix_ptrs_from_base(moved);
  ok &= intact(moved, "moved");

  /* A copy in the shared-memory pool lives as long as the pool: never pass
   * it to free or to the copy destructor. A new pool object is under way
   * until its first write_end, which gives it a version and tells followers
   * it was created. */
  if (!make_pool()) return 1;
  pool_copy = zim_olist_copy_ctor_with_shm(moved);
  ok &= pool_copy != NULL && zim_shm_pool_write_end(pool_copy) == 0;
  ok &= intact(pool_copy, "pool copy");

  /* Every later change goes between write_begin and write_end: a reader in
   * another process then copies the object whole or knows to copy again. */
  ok &= zim_shm_pool_write_begin(pool_copy) == 0;
  zim_olist_set_field_2(pool_copy, 0, 1000); /* element 0, written again */
  ok &= zim_shm_pool_write_end(pool_copy) == 0;
  printf("pool copy at version %llu\n", (unsigned long long)zim_shm_pool_version_of(pool_copy));

  /* A pool object that another process owns is read by snapshot: a heap copy
   * with its pointers fixed for the copy. Fixing the pool object itself would
   * rewrite its pointers for this process's mapping, under its owner. */
  snapshot = whole_snapshot(pool_copy);
  ok &= snapshot != NULL && intact(snapshot, "snapshot");

  zim_olist_clnt_copy_dtor(snapshot);
  zim_olist_clnt_copy_dtor(heap_copy);
  free(moved);
  zim_shm_pool_detach();
  return ok ? 0 : 1;
}
