// SPDX-License-Identifier: Apache-2.0
#include "platform/env.hpp"

#include <zim/sim/config.h>

#include <cstdio>
#include <cstdlib>

namespace zim_sim {

bool parse_decimal(const char* text, size_t len, uint64_t max, uint64_t* out) {
  if (len == 0 || (len > 1 && text[0] == '0')) return false;  // empty, or a leading zero
  uint64_t value = 0;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (digit > max || value > (max - digit) / 10) return false;  // value * 10 + digit > max
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

void die_bad_env(const char* component, const char* var, const char* value, const char* expected) {
  std::fprintf(stderr, "%s: invalid %s=\"%s\": expected %s\n", component, var,
               printable(value).c_str(), expected);
  std::exit(ZIM_SIM_CONFIG_EXIT_STATUS);
}

}  // namespace zim_sim
