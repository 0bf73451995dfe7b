// SPDX-License-Identifier: Apache-2.0
// How a unit's checks fail: through the C library's assertion report, with
// the text, line and prototype the generator fixed for each check site.
#pragma once

#include "traits.hpp"

// Declared here as the C library declares it: assert.h hides the declaration
// when NDEBUG is set, and the units report their checks explicitly.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));

namespace zim_tables {

inline constexpr char kFixPtrsCheckText[] = "pointer_fixed_size <= obj_inst->base.total_obj_size";
inline constexpr char kSizePtrCheckText[] = "obj_size_ptr";
inline constexpr char kAllocCheckText[] = "obj_inst";

// Reports are the rare path: out of line and cold, so the checks cost a
// compare and a branch where they stand.
template <typename T>
[[noreturn]] __attribute__((noinline, cold)) void report(const char* text, const check_site& site) {
  __assert_fail(text, T::unit_path, site.line, site.prototype);
}

}  // namespace zim_tables
