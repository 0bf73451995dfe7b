// SPDX-License-Identifier: Apache-2.0
// libparn: the size of the platform-dependent (NPD) area of each table id.

#include <zim/sim/config.h>
#include <zim/sim/export.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/env.hpp"

namespace {

constexpr const char kComponent[] = "parn";

// Ids 0..ZIM_MAX_TABLE_ID as 256 pages of 256: a page of its own only where
// an entry falls, every other page the shared one of the default size.
constexpr uint32_t kPageBits = 8;
constexpr uint32_t kPageIds = 1u << kPageBits;
constexpr uint32_t kPages = (ZIM_MAX_TABLE_ID >> kPageBits) + 1;
static_assert(kPages * kPageIds == ZIM_MAX_TABLE_ID + 1u, "whole pages");

struct Page {
  uint32_t size[kPageIds];
};

struct NpdConfig {
  uint32_t all = ZIM_SIM_DEFAULT_NPD_SIZE;
  std::vector<zim_sim_npd_entry_t> entries;  // ascending by table id
};

// Parses "id=size[,id=size...]" into config->entries.
void read_entries(const char* value, NpdConfig* config) {
  constexpr const char kExpected[] =
      "comma-separated <table id 0-65535>=<size 0-4294967295> entries, each id at most once";
  std::vector<bool> seen(ZIM_MAX_TABLE_ID + 1u);
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
        !zim_sim::parse_decimal(entry, static_cast<size_t>(eq - entry), ZIM_MAX_TABLE_ID, &id) ||
        !zim_sim::parse_decimal(eq + 1, len - static_cast<size_t>(eq + 1 - entry), UINT32_MAX,
                                &size) ||
        seen[id]) {
      std::fprintf(stderr, "%s: ZIM_NPD_SIZES: bad entry \"%s\"\n", kComponent,
                   zim_sim::printable(std::string_view(entry, len)).c_str());
      zim_sim::die_bad_env(kComponent, "ZIM_NPD_SIZES", value, kExpected);
    }
    seen[id] = true;
    config->entries.push_back({static_cast<uint32_t>(id), static_cast<uint32_t>(size)});
    if (comma == nullptr) break;
    entry = comma + 1;
  }
  std::sort(config->entries.begin(), config->entries.end(),
            [](const auto& a, const auto& b) { return a.table_id < b.table_id; });
}

NpdConfig read_config() {
  NpdConfig config;
  if (const char* value = std::getenv("ZIM_NPD_SIZE")) {
    uint64_t n = 0;
    if (!zim_sim::parse_decimal(value, std::strlen(value), UINT32_MAX, &n)) {
      zim_sim::die_bad_env(kComponent, "ZIM_NPD_SIZE", value,
                           "a decimal number from 0 to 4294967295");
    }
    config.all = static_cast<uint32_t>(n);
  }
  if (const char* value = std::getenv("ZIM_NPD_SIZES")) read_entries(value, &config);
  return config;
}

// The table library asks for a table id's NPD size in every constructor,
// copy and sizing, so the answer is two loads once the sizes are known: the
// id's page, then its size. The pages are null until then, and the release
// store of each publishes its contents and g_config. Nothing here is freed:
// destructors of other libraries may still make and copy objects.
std::atomic<const Page*> g_pages[kPages];
Page g_default_page;
const NpdConfig* g_config;

const NpdConfig& config() {
  // Object sizes and pointer fix-ups depend on these values: read them once,
  // under the thread-safe static guard.
  static const bool read = [] {
    g_config = new NpdConfig(read_config());
    std::fill(std::begin(g_default_page.size), std::end(g_default_page.size), g_config->all);
    Page* own[kPages] = {};
    for (const zim_sim_npd_entry_t& e : g_config->entries) {
      Page*& page = own[e.table_id >> kPageBits];
      if (page == nullptr) page = new Page(g_default_page);
      page->size[e.table_id & (kPageIds - 1)] = e.size;
    }
    for (uint32_t i = 0; i < kPages; ++i) {
      g_pages[i].store(own[i] ? own[i] : &g_default_page, std::memory_order_release);
    }
    return true;
  }();
  (void)read;
  return *g_config;
}

__attribute__((noinline, cold)) uint32_t read_once(uint32_t table_id) {
  config();
  if (table_id > ZIM_MAX_TABLE_ID) {
    std::fprintf(stderr, "parn: qor_npd_get_table_size: table id %u is above %u\n", table_id,
                 ZIM_MAX_TABLE_ID);
    std::abort();
  }
  return g_pages[table_id >> kPageBits]
      .load(std::memory_order_acquire)
      ->size[table_id & (kPageIds - 1)];
}

}  // namespace

extern "C" ZIM_SIM_API uint32_t qor_npd_get_table_size(uint32_t table_id) {
  if (table_id <= ZIM_MAX_TABLE_ID) {
    const Page* page = g_pages[table_id >> kPageBits].load(std::memory_order_acquire);
    if (page != nullptr) return page->size[table_id & (kPageIds - 1)];
  }
  return read_once(table_id);
}

extern "C" ZIM_SIM_API uint32_t zim_sim_npd_default_size(void) { return config().all; }

extern "C" ZIM_SIM_API size_t zim_sim_npd_entries(zim_sim_npd_entry_t* out, size_t cap) {
  const std::vector<zim_sim_npd_entry_t>& entries = config().entries;
  if (cap > 0) std::copy_n(entries.begin(), std::min(cap, entries.size()), out);
  return entries.size();
}
