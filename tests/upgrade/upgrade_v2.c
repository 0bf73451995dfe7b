/* SPDX-License-Identifier: Apache-2.0 */
/* The next version of the server and its client, built against v2/:
 *   upgrade_v2 serve NAME [COMMAND...]  adopts the pool NAME that the first
 *       version handed over, migrates its objects to this version's layouts
 *       (keeping its directory up to date), checks every object, runs COMMAND
 *       while it serves, then destroys the pool;
 *   upgrade_v2 read NAME  attaches and checks every object by snapshot. */
#include "upgrade.h"

/* Checks a v2 object made from a v1 one: every value and flag carried, the
 * fields v2 added absent, widened ones zero-extended. */
static void check(uint32_t id, uint32_t i, void *obj) {
  char text[16];
  uint32_t k;
  switch (id) {
    case ZIM_TABLE_ID_GAUGE:
      expect_field(zim_gauge_get_reading(obj), gauge_reading(i), zim_gauge_has_reading(obj), 1,
                   "reading", id, i);
      expect_field(zim_gauge_get_scale(obj), gauge_scale(i), zim_gauge_has_scale(obj), i % 2 == 0,
                   "scale", id, i);
      expect_field(zim_gauge_get_offset(obj), 0, zim_gauge_has_offset(obj), 0, "offset (added)", id,
                   i);
      break;
    case ZIM_TABLE_ID_COUNTER:
      expect_field(zim_counter_get_hits(obj), counter_hits(i), zim_counter_has_hits(obj), 1,
                   "hits (widened)", id, i);
      expect_field(zim_counter_get_misses(obj), i % 3 != 0 ? counter_misses(i) : 0,
                   zim_counter_has_misses(obj), i % 3 != 0, "misses", id, i);
      break;
    case ZIM_TABLE_ID_LABEL:
      label_text(i, text);
      expect_field(memcmp(zim_label_get_caption(obj), text, 16), 0, zim_label_has_caption(obj), 1,
                   "caption (was text)", id, i);
      expect_field(zim_label_get_color(obj), label_color(i), zim_label_has_color(obj), 1, "color",
                   id, i);
      break;
    case ZIM_TABLE_ID_PEER:
      expect_field(zim_peer_get_zone(obj), 0, zim_peer_has_zone(obj), 0, "zone (added)", id, i);
      expect_field(zim_peer_get_address(obj), peer_addr(i), zim_peer_has_address(obj), 1,
                   "address (was addr)", id, i);
      expect_field(zim_peer_get_port(obj), peer_port(i), zim_peer_has_port(obj), i % 2 == 1, "port",
                   id, i);
      break;
    default:
      expect_field(zim_route_set_get_generation(obj), route_set_generation(i),
                   zim_route_set_has_generation(obj), 1, "generation", id, i);
      expect(zim_route_set_hops_length(obj) == route_set_count(i), "count", id, i);
      for (k = 0; k < zim_route_set_hops_length(obj); ++k)
        expect_field(zim_route_set_get_hops(obj, k), route_set_hop(i, k),
                     zim_route_set_has_hops(obj, k), k != 1, "hop (widened)", id, i);
      expect(zim_route_set_lanes_length(obj) == hulcon_config_get_max_num_npus(), "N lanes", id, i);
      for (k = 0; k < zim_route_set_lanes_length(obj); ++k)
        expect_field(zim_route_set_get_lanes(obj, k), route_set_lane(i, k),
                     zim_route_set_has_lanes(obj, k), k != 0, "lane (widened)", id, i);
  }
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

  status = run(command);
  if (zim_shm_pool_destroy() != 0) return perror("destroy"), 1;
  return status;
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "serve") == 0) return serve(argv[2], argv + 3);
  if (argc == 3 && strcmp(argv[1], "read") == 0) return read_all(argv[2], "v2");
  fputs("usage: upgrade_v2 serve NAME [COMMAND...] | upgrade_v2 read NAME\n", stderr);
  return 2;
}
