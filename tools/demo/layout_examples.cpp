// SPDX-License-Identifier: Apache-2.0
// The demonstration's table of objects as the allocator lays them out.
#include "layout_examples.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "object_pattern.hpp"
#include "zim/sim/pool_versions.h"
#include "zim/tables/olist.h"
#include "zim/tables/test_if.h"
#include "zim/tables/testdynhg.h"

namespace zim_demo {

namespace {

// Shows where the allocator put one object's parts, relative to its start,
// next to where its header's layout constants place them; returns false on a
// difference.
bool show_array(const char* name, const void* obj, uint32_t ptr_at, uint32_t flags_ptr_at,
                uint32_t kind, uint64_t storage_at, uint64_t flags_at) {
  const auto base = reinterpret_cast<uintptr_t>(obj);
  const auto data = field<uintptr_t>(obj, ptr_at);
  const auto flags = field<uintptr_t>(obj, flags_ptr_at);
  std::printf("        field %s, %s array: ", name,
              kind == ZIM_ARRAY_PER_NPU ? "per-NPU" : "counted");
  if (data == 0) {
    std::printf("null, null\n");
    return flags == 0;
  }
  std::printf("storage at +%" PRIuPTR ", flags at +%" PRIuPTR " (constants: %" PRIu64 ", %" PRIu64
              ")\n",
              data - base, flags - base, storage_at, flags_at);
  return data - base == storage_at && flags - base == flags_at;
}

void show_object(const char* where, const char* type, const void* obj, uint32_t count_field) {
  std::printf("  %-5s %-10s at %p: total_obj_size %u, uid %u", where, type, obj, total_size(obj),
              field<uint32_t>(obj, ZIM_OBJ_UID_OFFSET));
  if (count_field != 0) std::printf(", count %u", field<uint32_t>(obj, count_field));
  std::printf("\n");
}

// One object of a type, its arrays checked against the type's constants: X
// names the type in capitals, as the constants do.
#define ZIM_DEMO_SHOW_ARRAY(T, F)                                                                 \
  ok &=                                                                                           \
      show_array(#F, obj, ZIM_##T##_FIELD_##F##_PTR, ZIM_##T##_FIELD_##F##_FLAGS_PTR,             \
                 ZIM_##T##_FIELD_##F##_KIND, ZIM_##T##_FIELD_##F##_STORAGE_OFFSET(n, npd, count), \
                 ZIM_##T##_FIELD_##F##_FLAGS_OFFSET(n, npd, count));
#define ZIM_DEMO_SHOW(where, T, t, obj_expr, count_value)                       \
  do {                                                                          \
    const uint32_t n = hulcon_config_get_max_num_npus(), count = (count_value); \
    const uint32_t npd = qor_npd_get_table_size(ZIM_TABLE_ID_##T);              \
    const void* obj = (obj_expr);                                               \
    show_object(where, #t, obj, ZIM_##T##_COUNT_OFFSET);                        \
    (void)n, (void)count, (void)npd;                                            \
    ZIM_##T##_ARRAY_FIELDS(ZIM_DEMO_SHOW_ARRAY)                                 \
  } while (0)

// A pool object is under way from its allocation until its first write_end.
const void* published(const void* obj) {
  if (zim_shm_pool_write_end(const_cast<void*>(obj)) != 0) std::perror("zim_tables_demo");
  return obj;
}

}  // namespace

bool show_examples() {
  std::printf("Objects as the allocator lays them out (N = %u, NPD size of test_if = %u):\n",
              hulcon_config_get_max_num_npus(), qor_npd_get_table_size(0));
  bool ok = true;
  srv_test_if_t heap_if = qor_srv_test_if_ctor();
  srv_olist_t heap_olist = qor_srv_olist_ctor(3);
  ZIM_DEMO_SHOW("heap", TEST_IF, test_if, heap_if, 0);
  ZIM_DEMO_SHOW("pool", TEST_IF, test_if, published(zim_srv_test_if_ctor_with_shm()), 0);
  ZIM_DEMO_SHOW("heap", OLIST, olist, heap_olist, 3);
  ZIM_DEMO_SHOW("pool", OLIST, olist, published(zim_srv_olist_ctor_with_shm(0)), 0);
  ZIM_DEMO_SHOW("pool", TESTDYNHG, testdynhg, published(zim_srv_testdynhg_ctor_with_shm(3)), 3);
  // Server objects belong to the platform; this demo is the platform here.
  std::free(heap_if);
  std::free(heap_olist);
  std::printf("%s\n", ok ? "" : "FAILED: an array is not where the layout constants place it\n");
  return ok;
}

}  // namespace zim_demo
