// SPDX-License-Identifier: Apache-2.0
// Where the presence flags of a type's data fields lie: each field's flags or
// flag pointer, and npd_present after them. Computed in 64 bits, so that it is
// exact for any field values a definition can hold, valid or not; the
// validator compares it with what the definition states.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/model.hpp"

namespace zim_codec {

struct FlagPlacement {
  uint64_t flags_start = 0;            // first byte after the last data field
  std::vector<uint64_t> item_flag_at;  // per field item: first presence flag or flag pointer
  uint64_t npd_present = 0;
  uint64_t fixed_size = 0;  // smallest multiple of 8 above npd_present
};

inline constexpr uint64_t round_up(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

FlagPlacement place_flags(const std::vector<FieldItem>& fields);

// What a layout record leaves out because its fields give it: the first byte
// of the flag area, and the line the rules on that area report at (the last
// field's, or the type's for a type without fields). Unbounded fields wrap
// the byte; the layout rules refuse them anyway.
void complete_flag_area(TypeFacts& facts, const std::vector<FieldItem>& fields);

}  // namespace zim_codec
