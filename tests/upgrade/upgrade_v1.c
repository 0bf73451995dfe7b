/* SPDX-License-Identifier: Apache-2.0 */
/* The first version of a server and its client, built against v1/:
 *   upgrade_v1 serve NAME [COMMAND...]  creates the pool NAME, fills objects
 *       of every type, publishes their directory through the root slot, runs
 *       COMMAND while it serves, then hands the pool over to its successor;
 *   upgrade_v1 read NAME  attaches and checks every object by snapshot. */
#define VERSION "v1"
#define LABEL_TEXT text
#define PEER_ADDR addr
#include "upgrade.h"

static void *make(uint32_t id, uint32_t i) {
  char text[16];
  uint32_t k;
  switch (id) {
    case ZIM_TABLE_ID_GAUGE: {
      srv_gauge_t g = zim_srv_gauge_ctor_with_shm();
      zim_gauge_set_reading(g, gauge_reading(i));
      zim_gauge_set_scale(g, gauge_scale(i));
      if (i % 2 == 1) zim_gauge_clear_scale(g);
      return g;
    }
    case ZIM_TABLE_ID_COUNTER: {
      srv_counter_t c = zim_srv_counter_ctor_with_shm();
      zim_counter_set_hits(c, counter_hits(i));
      if (i % 3 != 0) zim_counter_set_misses(c, counter_misses(i));
      return c;
    }
    case ZIM_TABLE_ID_LABEL: {
      srv_label_t l = zim_srv_label_ctor_with_shm();
      label_text(i, text);
      zim_label_set_text(l, text);
      zim_label_set_color(l, label_color(i));
      return l;
    }
    case ZIM_TABLE_ID_PEER: {
      srv_peer_t p = zim_srv_peer_ctor_with_shm();
      zim_peer_set_addr(p, peer_addr(i));
      zim_peer_set_port(p, peer_port(i));
      if (i % 2 == 0) zim_peer_clear_port(p);
      zim_peer_set_legacy(p, 7);
      return p;
    }
    default: {
      srv_route_set_t r = zim_srv_route_set_ctor_with_shm(route_set_count(i));
      zim_route_set_set_generation(r, route_set_generation(i));
      for (k = 0; k < zim_route_set_hops_length(r); ++k)
        zim_route_set_set_hops(r, k, route_set_hop(i, k));
      for (k = 0; k < zim_route_set_lanes_length(r); ++k)
        zim_route_set_set_lanes(r, k, route_set_lane(i, k));
      if (zim_route_set_hops_length(r) > 1) zim_route_set_clear_hops(r, 1);
      zim_route_set_clear_lanes(r, 0);
      return r;
    }
  }
}

static void check_added(uint32_t id, uint32_t i, void *obj) { (void)id, (void)i, (void)obj; }

static int serve(const char *name, char **command) {
  directory_t *directory;
  uint32_t id, i;
  int status;
  if (zim_shm_pool_create(name, 4u << 20) != 0) return perror("create"), 1;
  directory = zim_shm_pool_calloc_untyped(sizeof *directory);
  if (directory == NULL) return puts("no room for the directory"), 1;
  for (id = kFirstId; id < kFirstId + kTypes; ++id)
    for (i = 0; i < kPerType; ++i)
      directory->offsets[id - kFirstId][i] = zim_shm_pool_offset_of(make(id, i));
  zim_shm_pool_set_root(zim_shm_pool_offset_of(directory));
  printf("v1 serves %d objects\n", kTypes * kPerType);
  status = run_command(command);
  /* The pool, its objects and its name outlive this process: the next
   * version adopts them. */
  if (zim_shm_pool_hand_over() != 0) return perror("hand over"), 1;
  puts("v1 handed the pool over");
  return status;
}
