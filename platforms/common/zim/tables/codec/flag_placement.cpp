// SPDX-License-Identifier: Apache-2.0
#include "codec/flag_placement.hpp"

namespace zim_codec {

FlagPlacement place_flags(const std::vector<FieldItem>& fields) {
  FlagPlacement placement;
  placement.flags_start = fields.empty() ? 0 : fields.back().end();
  uint64_t cursor = placement.flags_start;
  for (const auto& item : fields) {
    if (item.is_array()) {
      cursor = round_up(cursor, 8);
      placement.item_flag_at.push_back(cursor);
      cursor += 8;
    } else {
      placement.item_flag_at.push_back(cursor);
      cursor += item.run_length;
    }
  }
  placement.npd_present = cursor;
  placement.fixed_size = round_up(cursor + 1, 8);
  return placement;
}

void complete_flag_area(TypeFacts& facts, const std::vector<FieldItem>& fields) {
  facts.flags_at = static_cast<uint32_t>(place_flags(fields).flags_start);
  facts.lines.flags_at = fields.empty() ? facts.lines.table : fields.back().line;
}

}  // namespace zim_codec
