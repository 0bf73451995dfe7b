// SPDX-License-Identifier: Apache-2.0
// libparn: the size of the platform-dependent (NPD) area of each table id.

#include <zim/sim/config.h>
#include <zim/sim/export.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "env.hpp"

namespace {

constexpr const char kComponent[] = "parn";

struct NpdSizes {
  uint32_t size[ZIM_NUM_TABLE_TYPES];
};

// Applies "id=size[,id=size...]" on top of the sizes already in `sizes`.
void apply_overrides(const char* value, NpdSizes* sizes) {
  constexpr const char kExpected[] =
      "comma-separated <table id>=<size 0-4294967295> entries, each id at most once and below "
      "the number of table types";
  bool seen[ZIM_NUM_TABLE_TYPES] = {};
  // An empty value, an empty entry and a trailing comma all fail as an entry
  // without "=".
  const char* entry = value;
  for (;;) {
    const char* comma = std::strchr(entry, ',');
    const size_t len = comma ? static_cast<size_t>(comma - entry) : std::strlen(entry);
    const char* eq = static_cast<const char*>(std::memchr(entry, '=', len));
    uint64_t id = 0;
    uint64_t size = 0;
    if (eq == nullptr ||
        !zim_sim::parse_decimal(entry, static_cast<size_t>(eq - entry), ZIM_NUM_TABLE_TYPES - 1,
                                &id) ||
        !zim_sim::parse_decimal(eq + 1, len - static_cast<size_t>(eq + 1 - entry), UINT32_MAX,
                                &size) ||
        seen[id]) {
      std::fprintf(stderr, "%s: ZIM_NPD_SIZES: bad entry \"%s\"\n", kComponent,
                   zim_sim::printable(std::string_view(entry, len)).c_str());
      zim_sim::die_bad_env(kComponent, "ZIM_NPD_SIZES", value, kExpected);
    }
    seen[id] = true;
    sizes->size[id] = static_cast<uint32_t>(size);
    if (comma == nullptr) break;
    entry = comma + 1;
  }
}

NpdSizes read_npd_sizes() {
  uint32_t all = ZIM_SIM_DEFAULT_NPD_SIZE;
  if (const char* value = std::getenv("ZIM_NPD_SIZE")) {
    uint64_t n = 0;
    if (!zim_sim::parse_decimal(value, std::strlen(value), UINT32_MAX, &n)) {
      zim_sim::die_bad_env(kComponent, "ZIM_NPD_SIZE", value,
                           "a decimal number from 0 to 4294967295");
    }
    all = static_cast<uint32_t>(n);
  }
  NpdSizes sizes;
  for (uint32_t& s : sizes.size) s = all;
  if (const char* value = std::getenv("ZIM_NPD_SIZES")) apply_overrides(value, &sizes);
  return sizes;
}

// The table library asks for a table id's NPD size in every constructor,
// copy and sizing, so the answer is one compare and one load once the sizes
// are known: g_known_ids is 0 until then and ZIM_NUM_TABLE_TYPES after, and
// its release store publishes g_sizes.
NpdSizes g_sizes;
std::atomic<uint32_t> g_known_ids{0};

__attribute__((noinline, cold)) uint32_t read_once(uint32_t table_id) {
  // Object sizes and pointer fix-ups depend on these values: read them once,
  // under the thread-safe static guard.
  static const bool read = [] {
    g_sizes = read_npd_sizes();
    g_known_ids.store(ZIM_NUM_TABLE_TYPES, std::memory_order_release);
    return true;
  }();
  (void)read;
  if (table_id >= ZIM_NUM_TABLE_TYPES) {
    std::fprintf(stderr, "parn: qor_npd_get_table_size: table id %u is not below %u\n", table_id,
                 ZIM_NUM_TABLE_TYPES);
    std::abort();
  }
  return g_sizes.size[table_id];
}

}  // namespace

extern "C" ZIM_SIM_API uint32_t qor_npd_get_table_size(uint32_t table_id) {
  if (table_id < g_known_ids.load(std::memory_order_acquire)) return g_sizes.size[table_id];
  return read_once(table_id);
}
