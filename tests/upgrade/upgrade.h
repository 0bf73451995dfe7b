/* SPDX-License-Identifier: Apache-2.0 */
/* What both versions of the upgrade's server and client share: the directory
 * a server publishes through the root slot, the values object number i of
 * each type holds, their check, and the client, which reads the types by their
 * names in whichever catalogue the program is built against. Fields and
 * elements marked "cleared" were written, then their flag lowered: the value
 * stays, absent. A program defines VERSION, names its fields and defines
 * serve before it includes this header. */
#ifndef UPGRADE_H
#define UPGRADE_H

#define _POSIX_C_SOURCE 200809L /* fork, execvp, waitpid in run_command.h */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h>

#include "run_command.h" /* a server's clients, run while it serves */

enum { kFirstId = 2000, kTypes = 5, kPerType = 48 };

/* An untyped block: the offset of every object, by table id and number. */
typedef struct directory {
  uint64_t offsets[kTypes][kPerType];
} directory_t;

static inline uint64_t gauge_reading(uint32_t i) { return 0x100000000ull + i; }
static inline uint32_t gauge_scale(uint32_t i) { return 10 + i; } /* cleared for odd i */
static inline uint32_t counter_hits(uint32_t i) { return 0xfffffff0u + i % 16; }
static inline uint32_t counter_misses(uint32_t i) { return i; } /* never set when i % 3 == 0 */
static inline void label_text(uint32_t i, char text[16]) {
  memset(text, 0, 16);
  snprintf(text, 16, "label %u", (unsigned)i);
}
static inline uint32_t label_color(uint32_t i) { return 0xff0000u + i; }
static inline uint32_t peer_addr(uint32_t i) { return 0x0a000000u + i; }
static inline uint16_t peer_port(uint32_t i) {
  return (uint16_t)(0x8000u + i);
} /* cleared, even i */
static inline uint32_t route_set_count(uint32_t i) { return i % 4; }
static inline uint32_t route_set_generation(uint32_t i) { return i; }
static inline uint32_t route_set_hop(uint32_t i, uint32_t k) { return 0xfff00000u + (i << 8) + k; }
static inline uint16_t route_set_lane(uint32_t i, uint32_t n) {
  return (uint16_t)(0xff00u + i + n);
}
/* Hop 1 and lane 0 are cleared. */

/* The directory at the root slot, or null when the root names none. */
static inline directory_t *published_directory(void) {
  uint32_t table_id;
  uint64_t size;
  directory_t *directory = zim_shm_pool_block_at(zim_shm_pool_root(), &table_id, &size);
  if (directory == NULL || table_id != ZIM_SHM_POOL_UNTYPED || size != sizeof *directory) {
    return NULL;
  }
  return directory;
}

/* The object of table id `id` at `offset`, or null when none starts there. */
static inline void *object_at(uint64_t offset, uint32_t id) {
  uint32_t table_id;
  void *obj = zim_shm_pool_block_at(offset, &table_id, NULL);
  return obj != NULL && table_id == id ? obj : NULL;
}

/* Counts a check; prints the first few that fail. */
static int failures;
static inline void expect(int ok, const char *what, uint32_t id, uint32_t i) {
  if (!ok && failures++ < 10) {
    fprintf(stderr, "object %u of table id %u: %s\n", (unsigned)i, (unsigned)id, what);
  }
}

/* A field or element: its value and whether its flag is up. */
static inline void expect_field(uint64_t value, uint64_t expected, int present,
                                int expected_present, const char *what, uint32_t id, uint32_t i) {
  expect(value == expected, what, id, i);
  expect(present == expected_present, expected_present ? "absent" : "present", id, i);
}

/* Checks object number i of this program's layout, a pool object or a
 * snapshot: every value and flag the first version set. Each program names
 * the fields that the versions name apart (LABEL_TEXT, PEER_ADDR) and checks
 * the fields only it has (check_added). */
static void check_added(uint32_t id, uint32_t i, void *obj);
#define PASTE(a, b) PASTE_(a, b)
#define PASTE_(a, b) a##b
#define QUOTE(a) QUOTE_(a)
#define QUOTE_(a) #a
#define EXPECT_FIELD(type, field, value, present)                                                 \
  expect_field(PASTE(zim_##type##_get_, field)(obj), value, PASTE(zim_##type##_has_, field)(obj), \
               present, QUOTE(field), id, i)
static void check(uint32_t id, uint32_t i, void *obj) {
  char text[16];
  uint32_t k;
  switch (id) {
    case ZIM_TABLE_ID_GAUGE:
      EXPECT_FIELD(gauge, reading, gauge_reading(i), 1);
      EXPECT_FIELD(gauge, scale, gauge_scale(i), i % 2 == 0);
      break;
    case ZIM_TABLE_ID_COUNTER:
      EXPECT_FIELD(counter, hits, counter_hits(i), 1);
      EXPECT_FIELD(counter, misses, i % 3 != 0 ? counter_misses(i) : 0, i % 3 != 0);
      break;
    case ZIM_TABLE_ID_LABEL:
      label_text(i, text);
      expect_field(memcmp(PASTE(zim_label_get_, LABEL_TEXT)(obj), text, 16), 0,
                   PASTE(zim_label_has_, LABEL_TEXT)(obj), 1, QUOTE(LABEL_TEXT), id, i);
      EXPECT_FIELD(label, color, label_color(i), 1);
      break;
    case ZIM_TABLE_ID_PEER:
      EXPECT_FIELD(peer, PEER_ADDR, peer_addr(i), 1);
      EXPECT_FIELD(peer, port, peer_port(i), i % 2 == 1);
      break;
    default:
      EXPECT_FIELD(route_set, generation, route_set_generation(i), 1);
      expect(zim_route_set_hops_length(obj) == route_set_count(i), "count", id, i);
      for (k = 0; k < zim_route_set_hops_length(obj); ++k)
        expect_field(zim_route_set_get_hops(obj, k), route_set_hop(i, k),
                     zim_route_set_has_hops(obj, k), k != 1, "hop", id, i);
      expect(zim_route_set_lanes_length(obj) == hulcon_config_get_max_num_npus(), "N lanes", id, i);
      for (k = 0; k < zim_route_set_lanes_length(obj); ++k)
        expect_field(zim_route_set_get_lanes(obj, k), route_set_lane(i, k),
                     zim_route_set_has_lanes(obj, k), k != 0, "lane", id, i);
  }
  check_added(id, i, obj);
}

/* A client reads through snapshots: the objects are laid out for their
 * owner's mapping, not this process's, and a client writes none of them. */
#define SNAPSHOT_CASE(ID, type)                                \
  case ZIM_TABLE_ID_##ID: {                                    \
    void *copy = zim_##type##_snapshot(obj);                   \
    expect(copy != NULL, "no memory for its snapshot", id, i); \
    if (copy != NULL) check(id, i, copy);                      \
    if (copy != NULL) zim_##type##_clnt_copy_dtor(copy);       \
    return;                                                    \
  }
static inline void check_snapshot(uint32_t id, uint32_t i, void *obj) {
  switch (id) {
    SNAPSHOT_CASE(GAUGE, gauge)
    SNAPSHOT_CASE(COUNTER, counter)
    SNAPSHOT_CASE(LABEL, label)
    SNAPSHOT_CASE(PEER, peer)
    SNAPSHOT_CASE(ROUTE_SET, route_set)
  }
}

/* The client: attaches the pool `name` (refused when this program's layouts
 * differ from those of the pool's objects), checks every object the
 * directory names. */
static inline int read_all(const char *name) {
  const directory_t *directory;
  uint32_t id, i;
  void *obj;
  if (zim_shm_pool_attach(name) != 0) return perror("attach"), 1;
  directory = published_directory();
  if (directory == NULL) return puts("no directory at the root"), 1;
  for (id = kFirstId; id < kFirstId + kTypes; ++id) {
    for (i = 0; i < kPerType; ++i) {
      obj = object_at(directory->offsets[id - kFirstId][i], id);
      expect(obj != NULL, "not in the directory", id, i);
      if (obj != NULL) check_snapshot(id, i, obj);
    }
  }
  zim_shm_pool_detach();
  if (failures != 0) return 1;
  printf(VERSION " client read %d objects\n", kTypes * kPerType);
  return 0;
}

static int serve(const char *name, char **command);

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "serve") == 0) return serve(argv[2], argv + 3);
  if (argc == 3 && strcmp(argv[1], "read") == 0) return read_all(argv[2]);
  fputs("usage: upgrade_" VERSION " serve NAME [COMMAND...] | upgrade_" VERSION " read NAME\n",
        stderr);
  return 2;
}

#endif /* UPGRADE_H */
