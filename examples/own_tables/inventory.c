/* SPDX-License-Identifier: Apache-2.0 */
/* A library of this project's own two table types (defs/), built with
 * zim_tables_add_library, used as libzim_tables is: by the generated headers.
 * Its catalogue is its own, ids 1000 and 1001, beside the platform's 0 to 342;
 * see "Your own definitions" in docs/using.md. */
#define _POSIX_C_SOURCE 200809L /* getpid */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h> /* this catalogue: port_entry, route_list */

int main(void) {
  /* route_list: one next hop per route, in its array field next_hops. */
  const uint32_t routes = 4;
  srv_route_list_t list = qor_srv_route_list_ctor(routes);
  srv_port_entry_t port = qor_srv_port_entry_ctor();
  srv_route_list_t shared, copy;
  const char name[16] = "uplink-0";
  const zim_shm_pool_options_t options = {1, 0, 64, 16}; /* versioned */
  char pool[64];
  uint32_t i;
  int ok;

  for (i = 0; i < routes; ++i) zim_route_list_set_next_hops(list, i, 100 + i);
  zim_port_entry_set_speed(port, 400000);
  zim_port_entry_set_name(port, name); /* 16 bytes: set copies them */

  /* Published in a pool of its own, read back by snapshot as another process
   * would. The copy is under way until its first write_end. */
  snprintf(pool, sizeof pool, "/inventory.%ld", (long)getpid());
  if (zim_shm_pool_create_with(pool, 1 << 22, &options) != 0) return perror("create"), 1;
  shared = zim_route_list_copy_ctor_with_shm(list);
  if (shared == NULL || zim_shm_pool_write_end(shared) != 0) return perror("publish"), 1;
  copy = zim_route_list_snapshot(shared);
  ok = copy != NULL && zim_route_list_next_hops_length(copy) == routes &&
       zim_port_entry_has_speed(port) && zim_port_entry_get_speed(port) == 400000 &&
       memcmp(zim_port_entry_get_name(port), name, sizeof name) == 0;
  for (i = 0; ok && i < routes; ++i) ok = zim_route_list_get_next_hops(copy, i) == 100 + i;
  printf(
      "catalogue of %u types from id %u: port_entry (id %u, %u bytes), "
      "route_list (id %u, %u bytes)\n",
      ZIM_NUM_TABLE_TYPES, ZIM_FIRST_TABLE_ID, ZIM_TABLE_ID_PORT_ENTRY,
      qor_port_entry_get_obj_size(), ZIM_TABLE_ID_ROUTE_LIST, qor_route_list_get_obj_size(routes));
  printf("route_list snapshot of a pool copy: %s\n", ok ? "intact" : "DIFFERS");

  zim_route_list_clnt_copy_dtor(copy);
  free(list);
  free(port);
  zim_shm_pool_detach();
  return ok ? 0 : 1;
}
