/* SPDX-License-Identifier: Apache-2.0 */
/* The next version of the server and its client, built against v2/:
 *   upgrade_v2 serve NAME [COMMAND...]  adopts the pool NAME that the first
 *       version handed over, migrates its objects to this version's layouts
 *       (keeping its directory up to date), checks every object, runs COMMAND
 *       while it serves, then destroys the pool;
 *   upgrade_v2 read NAME  attaches and checks every object by snapshot. */
#define VERSION "v2"
#define LABEL_TEXT caption
#define PEER_ADDR address
#include "upgrade.h"

/* The fields v2 added, absent in an object made from a v1 one. */
static void check_added(uint32_t id, uint32_t i, void *obj) {
  if (id == ZIM_TABLE_ID_GAUGE) EXPECT_FIELD(gauge, offset, 0, 0);
  if (id == ZIM_TABLE_ID_PEER) EXPECT_FIELD(peer, zone, 0, 0);
}

static void moved(uint64_t old_offset, uint64_t new_offset, uint32_t table_id, void *context) {
  directory_t *directory = context;
  uint32_t i;
  if (table_id < kFirstId || table_id >= kFirstId + kTypes) return;
  for (i = 0; i < kPerType; ++i) {
    if (directory->offsets[table_id - kFirstId][i] == old_offset) {
      directory->offsets[table_id - kFirstId][i] = new_offset;
    }
  }
}

/* Counts the pool's live layout records of label that name its field as v2
 * does: the migration gives them the new names, the objects staying put. */
static int label_record(const zim_shm_pool_piece_t *piece, void *context) {
  const zim_shm_pool_layout_record_t *record = piece->data;
  static const char kNames[] = "name caption was text";
  uint32_t at;
  if (piece->table_id != ZIM_SHM_POOL_LAYOUT || piece->retired ||
      record->table_id != ZIM_TABLE_ID_LABEL)
    return 0;
  for (at = 0; at + sizeof kNames - 1 <= record->text_size; ++at)
    if (memcmp(record->text + at, kNames, sizeof kNames - 1) == 0) ++*(int *)context;
  return 0;
}

static int serve(const char *name, char **command) {
  directory_t *directory, before;
  uint32_t id, i;
  int status;
  if (zim_shm_pool_adopt(name) != 0) return perror("adopt"), 1;
  directory = published_directory();
  if (directory == NULL) return puts("no directory at the root"), 1;
  before = *directory;
  if (zim_shm_pool_migrate(moved, directory) != 0) return perror("migrate"), 1;

  /* Every object is this version's now, at the offset the directory holds:
   * a converted one at a new offset, laid out for this process's mapping; a
   * label (renamed field, same layout) where it was. */
  if (published_directory() != directory) return puts("the root lost the directory"), 1;
  for (id = kFirstId; id < kFirstId + kTypes; ++id) {
    for (i = 0; i < kPerType; ++i) {
      const uint64_t offset = directory->offsets[id - kFirstId][i];
      void *obj = object_at(offset, id);
      expect(obj != NULL, "not where the directory says", id, i);
      expect((offset == before.offsets[id - kFirstId][i]) == (id == ZIM_TABLE_ID_LABEL),
             id == ZIM_TABLE_ID_LABEL ? "moved, though its layout is the same" : "not moved", id,
             i);
      if (obj != NULL) check(id, i, obj);
    }
  }
  status = 0;
  zim_shm_pool_walk_mapped(label_record, &status);
  expect(status == 1, "its layout record without v2's field names", ZIM_TABLE_ID_LABEL, 0);
  if (failures != 0) return 1;
  printf("v2 adopted the pool and migrated %d objects\n", (kTypes - 1) * kPerType);

  status = run_command(command);
  if (zim_shm_pool_destroy() != 0) return perror("destroy"), 1;
  return status;
}
