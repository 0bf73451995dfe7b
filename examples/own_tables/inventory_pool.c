/* SPDX-License-Identifier: Apache-2.0 */
/* Objects of this catalogue (route_list, table id 1001) and of the platform's
 * (olist, 268) in one pool, shared by two processes:
 *   inventory_pool serve NAME COMMAND...  creates the pool, publishes one
 *       object of each through an untyped directory at the root, runs COMMAND
 *       while the pool lives and exits with its status;
 *   inventory_pool attach NAME  snapshots both, copies them into the pool and
 *       the heap, checks every element and prints the route_list's offset.
 * Both must run with the same N and NPD sizes, and be built against the same
 * definitions: the pool refuses a process that differs ("Sharing objects
 * between processes" in docs/using.md). For example:
 *   ./inventory_pool serve /inventory sh -c './inventory_pool attach /inventory' */
#define _POSIX_C_SOURCE 200809L /* fork, execvp, waitpid in run_command.h */
#include <stdio.h>
#include <string.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>
#include <zim/tables/route_list.h>

#include "run_command.h"

enum { kHops = 3 };

/* A new pool object is under way until its first write_end, which gives it a
 * version and publishes its creation to the pool's followers. */
static int publish(void *obj) { return obj != NULL && zim_shm_pool_write_end(obj) == 0; }

static int serve(const char *name, char **command) {
  const zim_shm_pool_options_t options = {1, 0, 64, 16}; /* versioned */
  uint64_t *directory;
  srv_route_list_t list;
  srv_olist_t olist;
  int status;
  uint32_t i;
  if (zim_shm_pool_create_with(name, 1 << 22, &options) != 0) return perror("create"), 1;
  directory = zim_shm_pool_calloc_untyped(2 * sizeof *directory);
  list = zim_srv_route_list_ctor_with_shm(kHops);
  olist = zim_srv_olist_ctor_with_shm(kHops);
  for (i = 0; i < kHops; ++i) {
    zim_route_list_set_next_hops(list, i, 100 + i);
    zim_olist_set_field_2(olist, i, 200 + i);
  }
  directory[0] = zim_shm_pool_offset_of(list);
  directory[1] = zim_shm_pool_offset_of(olist);
  if (!publish(list) || !publish(olist) || !publish(directory)) return perror("publish"), 1;
  zim_shm_pool_set_root(zim_shm_pool_offset_of(directory));
  status = run_command(command);
  zim_shm_pool_detach();
  return status;
}

/* The object of table id `id` at `offset`, or null. */
static void *object_at(uint64_t offset, uint32_t id) {
  uint32_t table_id;
  void *obj = zim_shm_pool_block_at(offset, &table_id, NULL);
  return obj != NULL && table_id == id ? obj : NULL;
}

static int attach(const char *name) {
  const uint64_t *directory;
  srv_route_list_t list, snapshot, copy;
  srv_olist_t olist, olist_snapshot, olist_copy;
  uint32_t i;
  int ok;
  if (zim_shm_pool_attach(name) != 0) return perror("attach"), 1;
  directory = object_at(zim_shm_pool_root(), ZIM_SHM_POOL_UNTYPED);
  if (directory == NULL) return puts("no directory at the root"), 1;
  list = object_at(directory[0], ZIM_TABLE_ID_ROUTE_LIST);
  olist = object_at(directory[1], ZIM_TABLE_ID_OLIST);
  if (list == NULL || olist == NULL) return puts("the directory names other objects"), 1;
  snapshot = zim_route_list_snapshot(list);
  olist_snapshot = zim_olist_snapshot(olist);
  if (snapshot == NULL || olist_snapshot == NULL) return perror("snapshot"), 1;
  /* This process's first pool object of table id 1001: the pool compares its
   * layout record with this program's. */
  copy = zim_route_list_copy_ctor_with_shm(snapshot);
  if (!publish(copy)) return perror("publish"), 1;
  olist_copy = zim_olist_copy_ctor(olist_snapshot);
  ok = zim_route_list_next_hops_length(copy) == kHops &&
       zim_olist_field_2_length(olist_copy) == kHops;
  for (i = 0; ok && i < kHops; ++i)
    ok = zim_route_list_get_next_hops(copy, i) == 100 + i &&
         zim_olist_get_field_2(olist_copy, i) == 200 + i;
  if (!ok) return puts("the copies differ from the server's objects"), 1;
  printf("%llu\n", (unsigned long long)directory[0]);
  zim_route_list_clnt_copy_dtor(snapshot);
  zim_olist_clnt_copy_dtor(olist_snapshot);
  zim_olist_clnt_copy_dtor(olist_copy);
  zim_shm_pool_detach();
  return 0;
}

int main(int argc, char **argv) {
  if (argc > 3 && strcmp(argv[1], "serve") == 0) return serve(argv[2], argv + 3);
  if (argc == 3 && strcmp(argv[1], "attach") == 0) return attach(argv[2]);
  fputs("usage: inventory_pool serve NAME COMMAND... | inventory_pool attach NAME\n", stderr);
  return 2;
}
