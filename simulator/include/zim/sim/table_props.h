/* SPDX-License-Identifier: Apache-2.0 */
/* Platform side of the table properties records (libzim_table_props).
 *
 * Every table id from 0 to ZIM_MAX_TABLE_ID (65535), of any catalogue, has
 * one record, all zero at start: copy hooks off. Memory is taken only for the
 * ids whose hooks are set: until then zim_srv_table_props_get answers a
 * shared read-only zero record, so ask for the record on every use, as the
 * copy constructors do, rather than keep its address. They read it without
 * locking, so set the hooks of a table id before copies of its objects run.
 * Since the library calls both hooks whenever they are on, hooks can only be
 * on while both are set. A table id above ZIM_MAX_TABLE_ID, or a call that
 * would leave the hooks on with one unset, ends the process with a message
 * (abort). */
#ifndef ZIM_SIM_TABLE_PROPS_H
#define ZIM_SIM_TABLE_PROPS_H

#include <stdint.h>
#include <zim/sim/config.h>
#include <zim/sim/export.h>
#include <zim/tables/platform.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sets both copy hooks of a table id; they take effect when enabled. */
ZIM_SIM_API void zim_table_props_set_copy_hooks(uint32_t table_id, zim_copy_shm_hook_t shm_hook,
                                                zim_copy_src_hook_t src_hook);

/* Turns the copy hooks of a table id on (on non-zero) or off. */
ZIM_SIM_API void zim_table_props_enable_copy_hooks(uint32_t table_id, int on);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_TABLE_PROPS_H */
