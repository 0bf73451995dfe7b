// The presence-flag area that follows from a type's data fields: where each
// field's presence flags or flag pointer lie, and where npd_present falls.
#pragma once

#include <cstdint>
#include <vector>

#include "definition.hpp"

namespace tablegen {

struct FlagLayout {
  uint32_t flags_start = 0;            // first byte after the last data field
  std::vector<uint32_t> item_flag_at;  // per field item: first presence flag or flag pointer
  uint32_t npd_present = 0;
  uint32_t fixed_size = 0;  // smallest multiple of 8 above npd_present
};

inline uint32_t round_up_to_8(uint32_t value) { return (value + 7u) & ~7u; }

FlagLayout compute_flag_layout(const std::vector<FieldItem>& fields);

}  // namespace tablegen
