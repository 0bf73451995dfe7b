// SPDX-License-Identifier: Apache-2.0
// Bounds on every number a layout may hold, whoever states it (a definition,
// a manifest, a layout record in a pool or a program). They keep each quantity the
// generator derives (ends of fields, flag cursors, fixed size, check lines)
// far below 2^32, so 64-bit arithmetic on them is exact, and they keep every
// object of an accepted type addressable with the 32-bit object size.
#pragma once

#include <zim/tables/table_id.h>

#include <cstdint>

namespace zim_codec {

// Base header in front of every type header.
inline constexpr uint64_t kBaseHeaderSize = 192;
// Largest fixed part; every offset and inline run must end within it.
inline constexpr uint64_t kMaxFixedSize = 65536;
// Objects store their table id in 16 bits; the platform keeps records for
// every id up to this one.
inline constexpr uint64_t kMaxTableId = ZIM_MAX_TABLE_ID;
// One element and its flag fit a 32-bit object beside the largest fixed part.
inline constexpr uint64_t kMaxElementSize = UINT32_MAX - kMaxFixedSize - 1;
// The fixed part and one element of every array, each with its flag, fit a
// 32-bit object; so no position in an object's dynamic area wraps 64 bits.
inline constexpr uint64_t kMaxOneOfEach = UINT32_MAX;
// Trace identifiers are unsigned 32-bit values.
inline constexpr uint64_t kMaxWisp = UINT32_MAX;
// Type headers hold 2 to 5 fields.
inline constexpr size_t kMinHeaderFields = 2, kMaxHeaderFields = 5;
// Definitions are small text files; anything larger is not one.
inline constexpr uint64_t kMaxDefinitionBytes = 1u << 20;
// A manifest of the largest catalogue of realistic types stays far below this.
inline constexpr uint64_t kMaxManifestBytes = 1u << 30;

}  // namespace zim_codec
