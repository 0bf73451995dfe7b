/* SPDX-License-Identifier: Apache-2.0 */
/* A C program that uses the library as the platform's C servers and clients
 * do: through the generated headers, by name, on the simulated platform. It
 * keeps the headers C-clean (the build uses -std=c11 -pedantic) and checks a
 * server object's life end to end. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zim/tables/all_tables.h"

static int failures;

#define EXPECT(cond)                                                      \
  do {                                                                    \
    if (!(cond)) {                                                        \
      fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

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

  if (failures == 0) printf("C consumer: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
