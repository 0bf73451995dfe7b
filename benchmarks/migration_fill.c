/* SPDX-License-Identifier: Apache-2.0 */
/* The first version's server for the migration benchmark: creates the pool
 * NAME, makes COUNT objects of migration_defs/v1's hop_table (which the next
 * version changes) or hop_stamp (which it keeps), and hands the pool over.
 *   zim_migration_bench_fill NAME SIZE changed|unchanged COUNT */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h>

#include "migration_values.h"

static void make_hop_table(void) {
  srv_hop_table_t t = zim_srv_hop_table_ctor_with_shm(kMigrationHops);
  uint32_t k;
  zim_hop_table_set_generation(t, kMigrationGeneration);
  for (k = 0; k < 4; ++k) zim_hop_table_set_weights(t, k, k);
  for (k = 0; k < kMigrationHops; ++k) zim_hop_table_set_hops(t, k, migration_hop(k));
  for (k = 0; k < zim_hop_table_lanes_length(t); ++k)
    zim_hop_table_set_lanes(t, k, migration_lane(k));
}

static void make_hop_stamp(void) {
  srv_hop_stamp_t s = zim_srv_hop_stamp_ctor_with_shm();
  zim_hop_stamp_set_stamp(s, kMigrationGeneration);
}

int main(int argc, char **argv) {
  unsigned long long size, count, i;
  int changed;
  if (argc != 5 || (strcmp(argv[3], "changed") != 0 && strcmp(argv[3], "unchanged") != 0)) {
    fputs("usage: zim_migration_bench_fill NAME SIZE changed|unchanged COUNT\n", stderr);
    return 2;
  }
  size = strtoull(argv[2], NULL, 10);
  changed = strcmp(argv[3], "changed") == 0;
  count = strtoull(argv[4], NULL, 10);
  if (zim_shm_pool_create(argv[1], size) != 0) return perror("create"), 1;
  for (i = 0; i < count; ++i) changed ? make_hop_table() : make_hop_stamp();
  if (zim_shm_pool_hand_over() != 0) return perror("hand over"), 1;
  return 0;
}
