#include "layout.hpp"

namespace tablegen {

FlagLayout compute_flag_layout(const std::vector<FieldItem>& fields) {
  FlagLayout layout;
  layout.flags_start = fields.empty() ? 0 : fields.back().end();
  uint32_t cursor = layout.flags_start;
  for (const auto& item : fields) {
    if (item.is_array()) {
      cursor = round_up_to_8(cursor);
      layout.item_flag_at.push_back(cursor);
      cursor += 8;
    } else {
      layout.item_flag_at.push_back(cursor);
      cursor += item.repeat;
    }
  }
  layout.npd_present = cursor;
  layout.fixed_size = round_up_to_8(cursor + 1);
  return layout;
}

}  // namespace tablegen
