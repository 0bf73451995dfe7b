/* SPDX-License-Identifier: Apache-2.0 */
/* Configuration of the simulated platform (libhulcon_config, libparn).
 *
 * Both libraries read their environment variables once, on the first call of
 * their operation, and answer the same for the rest of the process. A value
 * that does not parse ends the process with exit status 2 and a message on
 * stderr naming the variable and the value.
 *
 *   ZIM_MAX_NUM_NPUS  maximum number of NPUs, decimal 0 to 4096;
 *                     default ZIM_SIM_DEFAULT_MAX_NUM_NPUS.
 *   ZIM_NPD_SIZE      NPD size in bytes of every table id, decimal 0 to
 *                     4294967295; default ZIM_SIM_DEFAULT_NPD_SIZE.
 *   ZIM_NPD_SIZES     per-table-id overrides, "id=size[,id=size...]", for
 *                     example "40=0,62=17,1000=8"; ids 0 to ZIM_MAX_TABLE_ID
 *                     (65535), whatever catalogue they belong to, each id at
 *                     most once.
 *
 * Numbers are plain decimal digits: no sign, no spaces, no suffix, no leading
 * zero ("0" itself is fine). An empty value is an error, as for the pool's
 * variables (shm_pool.h). */
#ifndef ZIM_SIM_CONFIG_H
#define ZIM_SIM_CONFIG_H

#include <stddef.h>
#include <stdint.h>
#include <zim/sim/export.h>
#include <zim/tables/platform.h>

#define ZIM_SIM_DEFAULT_MAX_NUM_NPUS 8u
#define ZIM_SIM_MAX_MAX_NUM_NPUS 4096u
#define ZIM_SIM_DEFAULT_NPD_SIZE 16u

/* Exit status of a process whose configuration does not parse. */
#define ZIM_SIM_CONFIG_EXIT_STATUS 2

#ifdef __cplusplus
extern "C" {
#endif

/* One ZIM_NPD_SIZES entry: the NPD size of one table id. */
typedef struct zim_sim_npd_entry {
  uint32_t table_id;
  uint32_t size;
} zim_sim_npd_entry_t;

/* NPD size of every table id without an entry of its own (ZIM_NPD_SIZE). */
ZIM_SIM_API uint32_t zim_sim_npd_default_size(void);

/* The ZIM_NPD_SIZES entries, ascending by table id: returns their number and
 * copies the first min(number, cap) to out (out may be null when cap is 0).
 * With zim_sim_npd_default_size, they give qor_npd_get_table_size of every
 * id, so that a process can record or compare the whole configuration. Both
 * read the environment as qor_npd_get_table_size does, once. */
ZIM_SIM_API size_t zim_sim_npd_entries(zim_sim_npd_entry_t *out, size_t cap);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_CONFIG_H */
