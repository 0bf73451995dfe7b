/* SPDX-License-Identifier: Apache-2.0 */
/* Both ends of a rolling upgrade, built against one version of the upgrade
 * test's catalogue each:
 *   upgrade_peer source NAME  makes the versioned pool NAME of gauges,
 *       counters and route sets, each found by its number in the index,
 *       prints "ready" and serves until SIGTERM, then destroys the pool;
 *   upgrade_peer read NAME [TABLE_ID]  attaches a mirror's pool NAME
 *       (refused when its layouts are not this program's) and checks each
 *       object (of TABLE_ID only, when given) by snapshot: every value and
 *       flag the source set, and the fields this version added absent;
 *   upgrade_peer hold NAME  attaches the pool NAME, prints "attached" and
 *       keeps it mapped until SIGTERM: a local client in a mirror's way. */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zim/sim/pool_versions.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/all_tables.h>

enum { kObjects = 12 };

static uint64_t reading(uint32_t i) { return 0x100000000ull + i; }
static uint32_t hits(uint32_t i) { return 0xfffffff0u + i; }
static uint32_t hop(uint32_t i, uint32_t k) { return 0xfff00000u + (i << 8) + k; }
static uint16_t lane(uint32_t i, uint32_t n) { return (uint16_t)(0xff00u + i + n); }

static void *make(uint32_t id, uint32_t i) {
  uint32_t k;
  if (id == ZIM_TABLE_ID_GAUGE) {
    srv_gauge_t g = zim_srv_gauge_ctor_with_shm();
    zim_gauge_set_reading(g, reading(i));
    if (i % 2 == 0) zim_gauge_set_scale(g, 10 + i); /* odd: never set */
    return g;
  }
  if (id == ZIM_TABLE_ID_COUNTER) {
    srv_counter_t c = zim_srv_counter_ctor_with_shm();
    zim_counter_set_hits(c, hits(i));
    zim_counter_set_misses(c, i);
    return c;
  }
  srv_route_set_t r = zim_srv_route_set_ctor_with_shm(i % 4);
  zim_route_set_set_generation(r, i);
  for (k = 0; k < zim_route_set_hops_length(r); ++k) zim_route_set_set_hops(r, k, hop(i, k));
  for (k = 0; k < zim_route_set_lanes_length(r); ++k) zim_route_set_set_lanes(r, k, lane(i, k));
  zim_route_set_clear_lanes(r, 0);
  return r;
}

static const uint32_t kIds[] = {ZIM_TABLE_ID_GAUGE, ZIM_TABLE_ID_COUNTER, ZIM_TABLE_ID_ROUTE_SET};

static int source(const char *name) {
  const zim_shm_pool_options_t versioned = {1, 0, 1024, 256};
  sigset_t term;
  int signal_number;
  uint32_t t, i;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, NULL);
  if (zim_shm_pool_create_with(name, 4u << 20, &versioned) != 0) return perror("create"), 1;
  /* Pool id 1 goes to a block of the server's own, as a mirror's goes to
   * its record: the two never meet. */
  void *own = zim_shm_pool_calloc_untyped(64);
  if (own == NULL || zim_shm_pool_write_end(own) != 0) return perror("calloc"), 1;
  for (t = 0; t < 3; ++t) {
    for (i = 0; i < kObjects; ++i) {
      void *obj = make(kIds[t], i);
      if (obj == NULL || zim_shm_pool_write_end(obj) != 0 ||
          zim_shm_pool_index_put(kIds[t], i, obj, NULL) != 0)
        return perror("make"), 1;
    }
  }
  puts("ready");
  fflush(stdout);
  sigwait(&term, &signal_number);
  return zim_shm_pool_destroy() == 0 ? 0 : 1;
}

static int failures;
static void expect(int ok, const char *what, uint32_t id, uint32_t i) {
  if (!ok && failures++ < 10) printf("object %u of table id %u: %s\n", i, id, what);
}
#define EXPECT_FIELD(type, obj, field, value, present)             \
  expect(zim_##type##_get_##field(obj) == (value), #field, id, i); \
  expect(zim_##type##_has_##field(obj) == (present), #field " flag", id, i)

static void check(uint32_t id, uint32_t i, void *obj) {
  uint32_t k;
  if (id == ZIM_TABLE_ID_GAUGE) {
    EXPECT_FIELD(gauge, obj, reading, reading(i), 1);
    EXPECT_FIELD(gauge, obj, scale, i % 2 == 0 ? 10 + i : 0, i % 2 == 0);
#ifdef UPGRADE_PEER_ADDS_OFFSET /* v2 added it */
    EXPECT_FIELD(gauge, obj, offset, 0, 0);
#endif
  } else if (id == ZIM_TABLE_ID_COUNTER) {
    EXPECT_FIELD(counter, obj, hits, hits(i), 1);
    EXPECT_FIELD(counter, obj, misses, i, 1);
  } else {
    EXPECT_FIELD(route_set, obj, generation, i, 1);
    expect(zim_route_set_hops_length(obj) == i % 4, "count", id, i);
    for (k = 0; k < zim_route_set_hops_length(obj); ++k) {
      expect(zim_route_set_get_hops(obj, k) == hop(i, k) && zim_route_set_has_hops(obj, k), "hop",
             id, i);
    }
    for (k = 0; k < zim_route_set_lanes_length(obj); ++k) {
      expect(zim_route_set_get_lanes(obj, k) == lane(i, k) &&
                 zim_route_set_has_lanes(obj, k) == (k != 0),
             "lane", id, i);
    }
  }
}

/* The objects lie where the mirror maps the pool: read through snapshots. */
static void *snapshot(uint32_t id, void *obj) {
  if (id == ZIM_TABLE_ID_GAUGE) return zim_gauge_snapshot(obj);
  if (id == ZIM_TABLE_ID_COUNTER) return zim_counter_snapshot(obj);
  return zim_route_set_snapshot(obj);
}

static void release(uint32_t id, void *copy) {
  if (id == ZIM_TABLE_ID_GAUGE) zim_gauge_clnt_copy_dtor(copy);
  if (id == ZIM_TABLE_ID_COUNTER) zim_counter_clnt_copy_dtor(copy);
  if (id == ZIM_TABLE_ID_ROUTE_SET) zim_route_set_clnt_copy_dtor(copy);
}

static int read_all(const char *name, uint32_t only) {
  uint32_t t, i, read = 0;
  if (zim_shm_pool_attach(name) != 0) return perror("attach"), 1;
  for (t = 0; t < 3; ++t) {
    if (only != 0 && kIds[t] != only) continue;
    for (i = 0; i < kObjects; ++i, ++read) {
      void *obj = zim_shm_pool_index_get(kIds[t], i);
      void *copy = obj == NULL ? NULL : snapshot(kIds[t], obj);
      expect(copy != NULL, "not found by its key", kIds[t], i);
      if (copy != NULL) check(kIds[t], i, copy), release(kIds[t], copy);
    }
  }
  zim_shm_pool_detach();
  if (failures != 0) return 1;
  printf("read %u objects\n", read);
  return 0;
}

static int hold(const char *name) {
  sigset_t term;
  int signal_number;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, NULL);
  if (zim_shm_pool_attach(name) != 0) return perror("attach"), 1;
  puts("attached");
  fflush(stdout);
  sigwait(&term, &signal_number);
  zim_shm_pool_detach();
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "source") == 0) return source(argv[2]);
  if (argc == 3 && strcmp(argv[1], "read") == 0) return read_all(argv[2], 0);
  if (argc == 4 && strcmp(argv[1], "read") == 0) {
    return read_all(argv[2], (uint32_t)strtoul(argv[3], NULL, 10));
  }
  if (argc == 3 && strcmp(argv[1], "hold") == 0) return hold(argv[2]);
  fputs("usage: upgrade_peer source|read|hold NAME, upgrade_peer read NAME TABLE_ID\n", stderr);
  return 2;
}
