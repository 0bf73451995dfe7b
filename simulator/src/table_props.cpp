// SPDX-License-Identifier: Apache-2.0
// libzim_table_props: the table properties record of each table id.

#include <zim/sim/table_props.h>

#include <cstdio>
#include <cstdlib>

namespace {

zim_table_props_t g_props[ZIM_NUM_TABLE_TYPES];  // zero: hooks off

[[noreturn]] void die(const char* op, uint32_t table_id, const char* why) {
  std::fprintf(stderr, "zim_table_props: %s(%u): %s (the catalogue has %u table types)\n", op,
               table_id, why, ZIM_NUM_TABLE_TYPES);
  std::abort();
}

zim_table_props_t* record(const char* op, uint32_t table_id) {
  if (table_id >= ZIM_NUM_TABLE_TYPES) die(op, table_id, "table id outside the catalogue");
  return &g_props[table_id];
}

}  // namespace

extern "C" ZIM_SIM_API zim_table_props_t* zim_srv_table_props_get(uint32_t table_id) {
  return record(__func__, table_id);
}

extern "C" ZIM_SIM_API void zim_table_props_set_copy_hooks(uint32_t table_id,
                                                           zim_copy_shm_hook_t shm_hook,
                                                           zim_copy_src_hook_t src_hook) {
  zim_table_props_t* props = record(__func__, table_id);
  if (props->copy_hooks_on && (shm_hook == nullptr || src_hook == nullptr)) {
    die(__func__, table_id, "a hook would be unset while the hooks are on");
  }
  props->copy_shm_hook = shm_hook;
  props->copy_src_hook = src_hook;
}

extern "C" ZIM_SIM_API void zim_table_props_enable_copy_hooks(uint32_t table_id, int on) {
  zim_table_props_t* props = record(__func__, table_id);
  if (on && (props->copy_shm_hook == nullptr || props->copy_src_hook == nullptr)) {
    die(__func__, table_id, "cannot turn the hooks on before both are set");
  }
  props->copy_hooks_on = on ? 1 : 0;
}
