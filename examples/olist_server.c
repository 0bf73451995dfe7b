/* SPDX-License-Identifier: Apache-2.0 */
/* A table server that outlives itself: it serves olist objects (count 3) in
 * a versioned pool, each filed in the pool's index under its number, and
 * changes them in turn at a steady pace. Stopped by SIGINT or SIGTERM, it
 * hands the pool over; started again, it adopts the pool and goes on with
 * the same objects, pool ids and keys, so that a relay follows it on.
 *
 *   olist_server POOL [OBJECTS [CHANGES_PER_SECOND]]
 *
 * OBJECTS (1000) is how many it creates in a new pool, or at most takes from
 * one it adopts; CHANGES_PER_SECOND defaults to 1000.
 * SIGUSR1 pauses the changes and resumes them, so that copies of the pool
 * can be compared with it at rest. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>

static volatile sig_atomic_t stop_signal, paused;

static void on_stop(int signal) { stop_signal = signal; }
static void on_pause(int signal) { paused = !paused, (void)signal; }

static int fail(const char *what, const char *pool) {
  fprintf(stderr, "olist_server: %s %s: %s\n", what, pool, strerror(errno));
  return 1;
}

/* A positive whole number of at most `max`, or 0. */
static unsigned long number(const char *text, unsigned long max) {
  char *end;
  unsigned long value;
  errno = 0;
  value = strtoul(text, &end, 10);
  return (errno != 0 || *end != '\0' || text[0] < '1' || text[0] > '9' || value > max) ? 0 : value;
}

/* A new pool: room for the objects, a feed that absorbs a burst of changes,
 * an index of one key each. Every object is filed only after its first
 * write_end, so a key never leads to an object still in the making. */
static int create(const char *pool, srv_olist_t *objects, unsigned long count) {
  const zim_shm_pool_options_t versioned = {1, 0, 4096, count};
  unsigned long i;
  if (zim_shm_pool_create_with(pool, (4ul << 20) + count * 1024, &versioned) != 0)
    return fail("cannot create the pool", pool);
  for (i = 0; i < count; ++i) {
    objects[i] = zim_srv_olist_ctor_with_shm(3);
    if (objects[i] == NULL) return fail("no room for the objects in", pool);
    zim_olist_set_field_2(objects[i], 0, i);
    if (zim_shm_pool_write_end(objects[i]) != 0 ||
        zim_shm_pool_index_put(ZIM_TABLE_ID_OLIST, i, objects[i], NULL) < 0)
      return fail("cannot publish an object of", pool);
  }
  printf("olist_server: created %s with %lu olist objects\n", pool, count);
  return 0;
}

/* The objects under keys 0, 1, ... of a pool handed over. The migration has
 * nothing to convert (the same program made them), but it is what opens the
 * pool to attachers and followers again. Pointers inside the objects are
 * laid out for the previous owner's mapping: the changes below write an
 * inline field only, never through them. */
static int take_over(const char *pool, srv_olist_t *objects, unsigned long *count,
                     unsigned long long *counter) {
  unsigned long found = 0;
  if (zim_shm_pool_migrate(NULL, NULL) != 0) return fail("cannot open the pool", pool);
  while (found < *count &&
         (objects[found] = zim_shm_pool_index_get(ZIM_TABLE_ID_OLIST, found)) != NULL) {
    if (zim_olist_has_field_5(objects[found]) && zim_olist_get_field_5(objects[found]) > *counter)
      *counter = zim_olist_get_field_5(objects[found]); /* the count goes on */
    ++found;
  }
  if (found == 0) return fail("no olist under key 0 in", pool);
  *count = found;
  printf("olist_server: adopted %s with %lu olist objects\n", pool, found);
  return 0;
}

static double seconds_since(const struct timespec *start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

/* Each millisecond, the changes due by then: field 5 of the next object
 * takes the next value of the counter. write_begin returns 1 for an object
 * that a server killed inside a write left torn; the change rewrites all a
 * change writes. */
static int serve(const char *pool, srv_olist_t *objects, unsigned long count, unsigned long rate,
                 unsigned long long *counter) {
  const struct timespec tick = {0, 1000000};
  struct timespec start;
  unsigned long long made = 0, paced_from = 0;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (!stop_signal) {
    const unsigned long long due = paced_from + (unsigned long long)(seconds_since(&start) * rate);
    if (paused) { /* the pace starts again from the resumption */
      clock_gettime(CLOCK_MONOTONIC, &start);
      paced_from = made;
    }
    for (; !paused && !stop_signal && made < due; ++made) {
      srv_olist_t obj = objects[made % count];
      if (zim_shm_pool_write_begin(obj) < 0) return fail("cannot change an object of", pool);
      zim_olist_set_field_5(obj, ++*counter);
      if (zim_shm_pool_write_end(obj) != 0) return fail("cannot change an object of", pool);
    }
    nanosleep(&tick, NULL); /* a signal cuts it short */
  }
  return 0;
}

int main(int argc, char **argv) {
  const char *pool = argc > 1 ? argv[1] : "";
  unsigned long count = argc > 2 ? number(argv[2], ZIM_SHM_POOL_MAX_INDEX_CAPACITY) : 1000;
  const unsigned long rate = argc > 3 ? number(argv[3], 1000000) : 1000;
  unsigned long long counter = 0, first;
  struct sigaction action;
  srv_olist_t *objects;
  if (argc < 2 || argc > 4 || count == 0 || rate == 0) {
    fputs("usage: olist_server POOL [OBJECTS [CHANGES_PER_SECOND]]\n", stderr);
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);
  memset(&action, 0, sizeof action); /* no SA_RESTART: a signal ends the sleep */
  action.sa_handler = on_stop;
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGTERM, &action, NULL);
  action.sa_handler = on_pause;
  sigaction(SIGUSR1, &action, NULL);
  objects = calloc(count, sizeof *objects);
  if (objects == NULL) return fail("no memory for the objects of", pool);
  if (zim_shm_pool_adopt(pool) == 0) {
    if (take_over(pool, objects, &count, &counter) != 0) return 1;
  } else if (errno != ENOENT) {
    return fail("cannot adopt the pool", pool);
  } else if (create(pool, objects, count) != 0) {
    return 1;
  }
  first = counter;
  if (serve(pool, objects, count, rate, &counter) != 0) return 1;
  if (zim_shm_pool_hand_over() != 0) return fail("cannot hand over the pool", pool);
  printf("olist_server: stopped (%s): %llu changes to %lu objects of %s, handed over\n",
         strsignal(stop_signal), counter - first, count, pool);
  free(objects);
  return 0;
}
