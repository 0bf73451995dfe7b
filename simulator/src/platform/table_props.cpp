// SPDX-License-Identifier: Apache-2.0
// libzim_table_props: the table properties record of each table id.

#include <zim/sim/config.h>
#include <zim/sim/table_props.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

// Ids 0..ZIM_MAX_TABLE_ID as 256 pages of 256 record pointers: a page only
// where a record was written, a record only for an id whose hooks were set.
// Records are allocated once and never moved or freed, so a reader needs no
// lock: the release stores of the pointers publish the zeroed records.
constexpr uint32_t kPageBits = 8;
constexpr uint32_t kPageIds = 1u << kPageBits;
constexpr uint32_t kPages = (ZIM_MAX_TABLE_ID >> kPageBits) + 1;

struct Page {
  std::atomic<zim_table_props_t*> record[kPageIds];
};

std::atomic<Page*> g_pages[kPages];
std::mutex g_alloc;

// What every id without a record reads: hooks off. Read-only, so that a
// write through the pointer that zim_srv_table_props_get returns faults
// rather than reaching every such id.
const zim_table_props_t kUnwritten{};

[[noreturn]] __attribute__((cold)) void die(const char* op, uint32_t table_id, const char* why) {
  std::fprintf(stderr, "zim_table_props: %s(%u): %s\n", op, table_id, why);
  std::abort();
}

void check_id(const char* op, uint32_t table_id) {
  if (table_id > ZIM_MAX_TABLE_ID) die(op, table_id, "table id above 65535");
}

// Every copy asks for its record: two loads, inline.
__attribute__((always_inline)) inline zim_table_props_t* find(uint32_t table_id) {
  const Page* page = g_pages[table_id >> kPageBits].load(std::memory_order_acquire);
  return page ? page->record[table_id & (kPageIds - 1)].load(std::memory_order_acquire) : nullptr;
}

// The id's own record, allocated (zero) on its first write.
zim_table_props_t* own(uint32_t table_id) {
  if (zim_table_props_t* props = find(table_id)) return props;
  const std::lock_guard<std::mutex> lock(g_alloc);
  std::atomic<Page*>& slot = g_pages[table_id >> kPageBits];
  Page* page = slot.load(std::memory_order_relaxed);
  if (page == nullptr) {
    page = new Page{};
    slot.store(page, std::memory_order_release);
  }
  std::atomic<zim_table_props_t*>& record = page->record[table_id & (kPageIds - 1)];
  zim_table_props_t* props = record.load(std::memory_order_relaxed);
  if (props == nullptr) {
    props = new zim_table_props_t{};
    record.store(props, std::memory_order_release);
  }
  return props;
}

}  // namespace

extern "C" ZIM_SIM_API zim_table_props_t* zim_srv_table_props_get(uint32_t table_id) {
  check_id(__func__, table_id);
  zim_table_props_t* props = find(table_id);
  return props ? props : const_cast<zim_table_props_t*>(&kUnwritten);
}

extern "C" ZIM_SIM_API void zim_table_props_set_copy_hooks(uint32_t table_id,
                                                           zim_copy_shm_hook_t shm_hook,
                                                           zim_copy_src_hook_t src_hook) {
  check_id(__func__, table_id);
  if (shm_hook == nullptr && src_hook == nullptr && find(table_id) == nullptr) return;
  zim_table_props_t* props = own(table_id);
  if (props->copy_hooks_on && (shm_hook == nullptr || src_hook == nullptr)) {
    die(__func__, table_id, "a hook would be unset while the hooks are on");
  }
  props->copy_shm_hook = shm_hook;
  props->copy_src_hook = src_hook;
}

extern "C" ZIM_SIM_API void zim_table_props_enable_copy_hooks(uint32_t table_id, int on) {
  check_id(__func__, table_id);
  zim_table_props_t* props = find(table_id);
  if (on &&
      (props == nullptr || props->copy_shm_hook == nullptr || props->copy_src_hook == nullptr)) {
    die(__func__, table_id, "cannot turn the hooks on before both are set");
  }
  if (props != nullptr) props->copy_hooks_on = on ? 1 : 0;
}
