// SPDX-License-Identifier: Apache-2.0
// The platform: the stand-ins for the platform's libraries besides the pool,
// each a library of its own: N (hulcon_config.cpp), the NPD size of each
// table id (parn.cpp), the table properties records (table_props.cpp) and
// object uids (zim_misc.cpp). This header: parsing of the simulator's
// environment variables (env.cpp), shared by the libraries that read them,
// libzim_memory among them. Internal: nothing here is exported.
//
// Its rules: a value that object layouts depend on (N, an NPD size) is read
// once and never changes in a process; an unusable environment variable ends
// the process with ZIM_SIM_CONFIG_EXIT_STATUS after a message that shows its
// value through printable().
//
// What it writes: nothing of any pool; only its own process-local tables.
// Uids come from the pool's counter when a pool is mapped, through
// libzim_memory's API (zim_shm_pool_next_uid). Uses no other room.
#ifndef ZIM_SIM_SRC_PLATFORM_ENV_HPP
#define ZIM_SIM_SRC_PLATFORM_ENV_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/printable.hpp"

namespace zim_sim {

// Parses text[0, len) as plain decimal digits (at least one, no sign, no
// spaces, no leading zero) whose value is at most max. False on anything
// else, so every variable treats an empty value and "08" as errors.
bool parse_decimal(const char* text, size_t len, uint64_t max, uint64_t* out);

// text for a message: every byte outside printable ASCII (0x20..0x7e) as
// \xNN, and cut with "..." after max_bytes (160 unless given), so that
// whatever the environment or a pool name holds reaches a terminal as one
// line it will not act on. The generator's and the tools' messages show
// bytes the same way.
using zim_codec::printable;

// Reports an unusable environment variable on stderr and exits with
// ZIM_SIM_CONFIG_EXIT_STATUS. `expected` describes what would be accepted;
// the value is shown through printable().
[[noreturn]] void die_bad_env(const char* component, const char* var, const char* value,
                              const char* expected);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_PLATFORM_ENV_HPP
