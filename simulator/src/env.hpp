// Parsing of the simulator's environment variables, shared by the libraries
// that read them. Internal: nothing here is exported.
#ifndef ZIM_SIM_SRC_ENV_HPP
#define ZIM_SIM_SRC_ENV_HPP

#include <cstddef>
#include <cstdint>

namespace zim_sim {

// Parses text[0, len) as plain decimal digits (at least one, no sign, no
// spaces, no leading zero) whose value is at most max. False on anything
// else, so every variable treats an empty value and "08" as errors.
bool parse_decimal(const char* text, size_t len, uint64_t max, uint64_t* out);

// Reports an unusable environment variable on stderr and exits with
// ZIM_SIM_CONFIG_EXIT_STATUS. `expected` describes what would be accepted.
[[noreturn]] void die_bad_env(const char* component, const char* var, const char* value,
                              const char* expected);

}  // namespace zim_sim

#endif  // ZIM_SIM_SRC_ENV_HPP
