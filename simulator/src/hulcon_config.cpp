// libhulcon_config: the configured maximum number of NPUs.

#include <zim/sim/config.h>
#include <zim/sim/export.h>

#include <cstdlib>
#include <cstring>

#include "env.hpp"

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

}  // namespace

extern "C" ZIM_SIM_API uint32_t hulcon_config_get_max_num_npus(void) {
  // Every object's layout depends on this value, so it must never change once
  // an object exists: read it once, under the thread-safe static guard.
  static const uint32_t max_num_npus = read_max_num_npus();
  return max_num_npus;
}
