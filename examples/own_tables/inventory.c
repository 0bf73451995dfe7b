/* A library of this project's own two table types (defs/), built with
 * zim_tables_add_library, used as libzim_tables is: by the generated headers.
 * Its catalogue is its own, ids 0 and 1; see "Your own definitions" in the
 * zim tables README for what that means on the platform. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zim/tables/all_tables.h> /* this catalogue: port_entry, route_list */

static uint64_t u64_at(const void *obj, size_t offset) {
  uint64_t v;
  memcpy(&v, (const unsigned char *)obj + offset, sizeof v);
  return v;
}

int main(void) {
  /* route_list: one next hop per route, in its array field next_hops. */
  const uint32_t routes = 4;
  srv_route_list_t list = qor_srv_route_list_ctor(routes);
  srv_port_entry_t port = qor_srv_port_entry_ctor();
  srv_route_list_t copy;
  unsigned char *hops =
      (unsigned char *)(uintptr_t)u64_at(list, ZIM_ROUTE_LIST_FIELD_NEXT_HOPS_PTR);
  uint64_t speed = 400000, i;
  int ok;

  for (i = 0; i < routes; ++i) memcpy(hops + ZIM_ROUTE_LIST_FIELD_NEXT_HOPS_ELEM_SIZE * i, &i, 8);
  memcpy((unsigned char *)port + ZIM_PORT_ENTRY_FIELD_SPEED_OFFSET, &speed, 8);
  ((unsigned char *)port)[ZIM_PORT_ENTRY_FIELD_SPEED_FLAG] = 1; /* present */

  copy = zim_route_list_copy_ctor(list);
  ok = memcmp((unsigned char *)(uintptr_t)u64_at(copy, ZIM_ROUTE_LIST_FIELD_NEXT_HOPS_PTR), hops,
              8 * routes) == 0 &&
       u64_at(port, ZIM_PORT_ENTRY_FIELD_SPEED_OFFSET) == speed;
  printf("catalogue of %u types: port_entry (id %u, %u bytes), route_list (id %u, %u bytes)\n",
         ZIM_NUM_TABLE_TYPES, ZIM_TABLE_ID_PORT_ENTRY, qor_port_entry_get_obj_size(),
         ZIM_TABLE_ID_ROUTE_LIST, qor_route_list_get_obj_size(routes));
  printf("route_list copy: %s\n", ok ? "intact" : "DIFFERS");

  zim_route_list_clnt_copy_dtor(copy);
  free(list);
  free(port);
  return ok ? 0 : 1;
}
