// SPDX-License-Identifier: Apache-2.0
// libhulcon_config: the configured maximum number of NPUs.

#include <zim/sim/config.h>
#include <zim/sim/export.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/env.hpp"

namespace {

uint32_t read_max_num_npus() {
  const char* value = std::getenv("ZIM_MAX_NUM_NPUS");
  if (value == nullptr) return ZIM_SIM_DEFAULT_MAX_NUM_NPUS;
  uint64_t n = 0;
  if (!zim_sim::parse_decimal(value, std::strlen(value), ZIM_SIM_MAX_MAX_NUM_NPUS, &n)) {
    zim_sim::die_bad_env("hulcon_config", "ZIM_MAX_NUM_NPUS", value,
                         "a decimal number from 0 to 4096");
  }
  return static_cast<uint32_t>(n);
}

// The table library asks for N twice per per-NPU array of every fix-up, so
// the answer is one load and one compare once known. No valid N equals
// kUnread, and the value is the only state, so a relaxed load suffices.
constexpr uint32_t kUnread = UINT32_MAX;
static_assert(ZIM_SIM_MAX_MAX_NUM_NPUS < kUnread);
std::atomic<uint32_t> g_max_num_npus{kUnread};

__attribute__((noinline, cold)) uint32_t read_once() {
  // Every object's layout depends on this value, so it must never change once
  // an object exists: read it once, under the thread-safe static guard.
  static const uint32_t value = read_max_num_npus();
  g_max_num_npus.store(value, std::memory_order_relaxed);
  return value;
}

}  // namespace

extern "C" ZIM_SIM_API uint32_t hulcon_config_get_max_num_npus(void) {
  const uint32_t value = g_max_num_npus.load(std::memory_order_relaxed);
  return value != kUnread ? value : read_once();
}
