#include "layout.hpp"

namespace tablegen {

FlagLayout compute_flag_layout(const std::vector<FieldItem>& fields) {
  FlagLayout layout;
  layout.flags_start = fields.empty() ? 0 : fields.back().end();
  uint64_t cursor = layout.flags_start;
  for (const auto& item : fields) {
    if (item.is_array()) {
      cursor = round_up(cursor, 8);
      layout.item_flag_at.push_back(cursor);
      cursor += 8;
    } else {
      layout.item_flag_at.push_back(cursor);
      cursor += item.repeat;
    }
  }
  layout.npd_present = cursor;
  layout.fixed_size = round_up(cursor + 1, 8);
  return layout;
}

}  // namespace tablegen
