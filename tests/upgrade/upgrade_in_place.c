/* SPDX-License-Identifier: Apache-2.0 */
/* An adopter that makes a handed-over pool of version 8 versioned in place:
 *   upgrade_in_place NAME  adopts the pool, whose root names a directory (an
 *       untyped block of object offsets), upgrades it, keeping the
 *       directory on the moved objects, and hands it over.
 * It knows no table type: the pool's layout records carry the objects. */
#include <stdio.h>
#include <zim/sim/shm_pool.h>

static unsigned moves;

/* The root follows the directory before the moves are reported. */
static void moved(uint64_t old_offset, uint64_t new_offset, uint32_t table_id, void *context) {
  uint32_t id = 0;
  uint64_t size = 0, k;
  uint64_t *directory = zim_shm_pool_block_at(zim_shm_pool_root(), &id, &size);
  (void)table_id, (void)context;
  ++moves;
  if (directory == NULL || id != ZIM_SHM_POOL_UNTYPED) return;
  for (k = 0; k < size / sizeof *directory; ++k) {
    if (directory[k] == old_offset) directory[k] = new_offset;
  }
}

int main(int argc, char **argv) {
  const zim_shm_pool_options_t versioned = {1, 0, 1024, 4096};
  if (argc != 2) return fputs("usage: upgrade_in_place NAME\n", stderr), 2;
  if (zim_shm_pool_adopt(argv[1]) != 0) return perror("adopt"), 1;
  if (zim_shm_pool_upgrade(&versioned, moved, NULL) != 0) return perror("upgrade"), 1;
  printf("upgraded in place: %u moves\n", moves);
  if (zim_shm_pool_hand_over() != 0) return perror("hand over"), 1;
  return 0;
}
