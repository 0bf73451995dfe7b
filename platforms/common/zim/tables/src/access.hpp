// SPDX-License-Identifier: Apache-2.0
// What every operation's steps are built from: the forced-inline step marker
// and the loads and stores that reach object fields at any alignment.
#pragma once

#include <cstdint>
#include <cstring>

#include "traits.hpp"

namespace zim_tables {

// The steps of an operation are inlined by force: an operation over 53
// arrays must still compile to one straight sequence, not to a call per step
// with the cursor in memory.
#define ZIM_TABLES_STEP inline __attribute__((always_inline))

// Keeps the compiler from folding a function into another with the same
// code, where one of them must stay a function of its own (clang folds none).
#if defined(__clang__)
#define ZIM_TABLES_NOT_FOLDED
#else
#define ZIM_TABLES_NOT_FOLDED __attribute__((no_icf))
#endif

// Objects may sit at any address the pool hands out and element storage is
// packed, so every multi-byte access goes through memcpy; compilers turn each
// one into a single move.
template <typename V>
inline V load(const byte* at) {
  V value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
template <typename V>
inline void store(byte* at, V value) {
  std::memcpy(at, &value, sizeof value);
}

inline byte* load_pointer(const byte* at) { return reinterpret_cast<byte*>(load<uintptr_t>(at)); }

}  // namespace zim_tables
