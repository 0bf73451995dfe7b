/* SPDX-License-Identifier: Apache-2.0 */
/* A C program that uses the library as the platform's C servers and clients
 * do: through the generated headers, by name, on the simulated platform. It
 * keeps the headers C-clean (the build uses -std=c11 -pedantic) and checks a
 * server object's life end to end, and a pool object that a client in
 * another process, at another address, reads by snapshot. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zim/sim/shm_pool.h"
#include "zim/tables/all_tables.h"

static int failures;

#define EXPECT(cond)                                                      \
  do {                                                                    \
    if (!(cond)) {                                                        \
      fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

/* Every field of an olist: its runs, arrays and single fields. */
static void fill(srv_olist_t obj) {
  uint32_t i;
  for (i = 0; i < 2; ++i)
    zim_olist_set_field_0(obj, i, 100 + i), zim_olist_set_field_1(obj, i, 110 + i);
  for (i = 0; i < zim_olist_field_2_length(obj); ++i)
    zim_olist_set_field_2(obj, i, 1000 + i), zim_olist_set_field_3(obj, i, 2000 + i);
  zim_olist_set_field_4(obj, 44);
  zim_olist_set_field_5(obj, 55);
}

static int holds_fill(srv_olist_t obj, uint32_t count) {
  uint32_t i;
  int ok = zim_olist_field_2_length(obj) == count && zim_olist_field_3_length(obj) == count &&
           zim_olist_has_field_4(obj) && zim_olist_get_field_4(obj) == 44 &&
           zim_olist_has_field_5(obj) && zim_olist_get_field_5(obj) == 55;
  for (i = 0; i < 2; ++i)
    ok &= zim_olist_has_field_0(obj, i) && zim_olist_get_field_0(obj, i) == 100 + i &&
          zim_olist_has_field_1(obj, i) && zim_olist_get_field_1(obj, i) == 110 + i;
  for (i = 0; i < count; ++i)
    ok &= zim_olist_has_field_2(obj, i) && zim_olist_get_field_2(obj, i) == 1000 + i &&
          zim_olist_has_field_3(obj, i) && zim_olist_get_field_3(obj, i) == 2000 + i;
  return ok;
}

/* A server's pool object, snapshot by a client process that maps the pool at
 * another address: the client reads every value, and the server's object,
 * bytes and arrays, is as it was. */
static void snapshot_in_another_process(void) {
  enum { kCount = 5 };
  char name[64];
  srv_olist_t obj;
  unsigned char *image;
  uint32_t size;
  uintptr_t server_base;
  pid_t client;
  int status = -1;

  snprintf(name, sizeof name, "/zim_c_api_test.%ld", (long)getpid());
  EXPECT(zim_shm_pool_create(name, 1 << 20) == 0);
  obj = zim_srv_olist_ctor_with_shm(kCount);
  fill(obj);
  zim_shm_pool_set_root(zim_shm_pool_offset_of(obj));
  size = qor_olist_get_obj_size(kCount);
  image = malloc(size);
  memcpy(image, obj, size);
  server_base = (uintptr_t)zim_shm_pool_base();
  fflush(NULL);
  client = fork();
  if (client == 0) {
    srv_olist_t copy;
    int ok = zim_shm_pool_attach(name) == 0 && (uintptr_t)zim_shm_pool_base() != server_base;
    copy = ok ? zim_olist_snapshot(zim_shm_pool_at(zim_shm_pool_root())) : NULL;
    ok = copy != NULL && holds_fill(copy, kCount);
    zim_olist_clnt_copy_dtor(copy);
    zim_shm_pool_detach();
    _exit(ok ? 0 : 1);
  }
  EXPECT(client > 0 && waitpid(client, &status, 0) == client);
  EXPECT(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT(memcmp(obj, image, size) == 0);
  EXPECT(holds_fill(obj, kCount));
  free(image);
  zim_shm_pool_destroy();
}

int main(void) {
  const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  zim_wisp_enums_t wisp = zim_fhrp_get_wisp_enums();
  srv_olist_t server;
  srv_olist_t copy;

  EXPECT(wisp.ids[0] == 1340 && wisp.ids[5] == 1342);
  EXPECT(qor_olist_get_obj_size(3) == npd + ZIM_FIXED_SIZE_OLIST + 18 * 3);
  server = qor_srv_olist_ctor(3);
  memset((unsigned char *)server + ZIM_FIXED_SIZE_OLIST + npd, 0x42, 8 * 3);
  copy = zim_olist_copy_ctor(server);
  EXPECT(memcmp((unsigned char *)copy + 200, (unsigned char *)server + 200, 4) == 0);
  EXPECT(memcmp((unsigned char *)copy + ZIM_FIXED_SIZE_OLIST + npd,
                (unsigned char *)server + ZIM_FIXED_SIZE_OLIST + npd, 8 * 3) == 0);
  zim_olist_clnt_copy_dtor(copy);
  zim_olist_clnt_copy_dtor(NULL);
  free(server);
  snapshot_in_another_process();

  if (failures == 0) printf("C consumer: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
