/* SPDX-License-Identifier: Apache-2.0 */
/* A later server whose catalogue no migration reaches from the pool's: built
 * against one of the v3 variants, it carries their layout notes alone.
 *   upgrade_v3_<variant> migrate NAME  adopts the pool, expects its migration
 *       refused (errno and the reasons on stderr), and hands the pool over;
 *   upgrade_v3_<variant> retire NAME ID  adopts the pool, retires the objects
 *       of table id ID, migrates what is left, then destroys the pool. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h> /* this program's layout notes */

static int refused_migration(const char *name) {
  int rc, error;
  if (zim_shm_pool_adopt(name) != 0) return perror("adopt"), 1;
  rc = zim_shm_pool_migrate(NULL, NULL);
  error = errno;
  if (zim_shm_pool_hand_over() != 0) return perror("hand over"), 1;
  if (rc == 0) return puts("migrated a pool it cannot carry"), 1;
  printf("migration refused: %s\n", strerror(error));
  return 0;
}

static int retire_then_migrate(const char *name, uint32_t table_id) {
  if (zim_shm_pool_adopt(name) != 0) return perror("adopt"), 1;
  if (zim_shm_pool_retire(table_id) != 0) return perror("retire"), 1;
  if (zim_shm_pool_migrate(NULL, NULL) != 0) return perror("migrate"), 1;
  printf("retired table id %u, then migrated\n", (unsigned)table_id);
  return zim_shm_pool_destroy() == 0 ? 0 : (perror("destroy"), 1);
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "migrate") == 0) return refused_migration(argv[2]);
  if (argc == 4 && strcmp(argv[1], "retire") == 0) {
    return retire_then_migrate(argv[2], (uint32_t)strtoul(argv[3], NULL, 10));
  }
  fputs("usage: upgrade_v3_VARIANT migrate NAME | upgrade_v3_VARIANT retire NAME ID\n", stderr);
  return 2;
}
