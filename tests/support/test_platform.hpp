// SPDX-License-Identifier: Apache-2.0
// A platform under the tests' control: test executables that link it define
// the five platform operations and __assert_fail themselves, so the dynamic
// linker resolves libzim_tables' calls to them ahead of the simulated ones.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zim/tables/platform.h"

namespace zim_test {

// One call that the library made into the platform, in call order.
struct PlatformCall {
  enum Kind { kNpdSize, kMaxNpus, kUid, kPoolCalloc, kTableProps, kHeapCalloc };
  Kind what;
  uint32_t table_id = 0;  // npd_size, pool_calloc, table_props
  uint64_t size = 0;      // pool_calloc, heap_calloc
  bool operator==(const PlatformCall& o) const {
    return what == o.what && table_id == o.table_id && size == o.size;
  }
};

struct PlatformConfig {
  uint32_t max_npus = 4;
  std::array<uint32_t, ZIM_NUM_TABLE_TYPES> npd_size{};  // per table id
  uint32_t next_uid = 1000;
  bool pool_fails = false;  // zim_shm_table_pool_calloc returns null
  // Gives each pool block platform-owned content (such as obj_flags bits)
  // before the library receives it.
  void (*pool_prepare)(void* block, uint64_t size) = nullptr;
  // Runs inside qor_getuid, before it answers.
  void (*on_uid)() = nullptr;
};

// Resets the platform: the given N and NPD size for every table id, a fresh
// pool, no recorded calls, hooks off in every table properties record.
void reset_platform(uint32_t max_npus = 4, uint32_t npd_size = 16);
PlatformConfig& platform();
std::vector<PlatformCall>& calls();
zim_table_props_t& table_props(uint32_t table_id);

// Pool blocks come from a private arena (16-byte aligned, zero-filled) and
// stay valid until the next reset_platform().
bool in_pool(const void* p);

// What __assert_fail received.
struct AssertReport {
  std::string assertion;
  std::string file;
  unsigned int line = 0;
  std::string function;
};

// Runs fn(arg). If the library ends the process through __assert_fail, the
// report is captured instead and control returns here (fn's frames are
// abandoned: keep them free of objects with destructors).
std::optional<AssertReport> run_capturing_assert(void (*fn)(void*), void* arg);

template <typename F>
std::optional<AssertReport> capture_assert(F&& f) {
  return run_capturing_assert([](void* p) { (*static_cast<F*>(p))(); }, &f);
}

// A captured report as one line, "none" without one, for readable failures.
std::string report_text(const std::optional<AssertReport>& r);

}  // namespace zim_test
