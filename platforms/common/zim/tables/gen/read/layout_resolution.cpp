// SPDX-License-Identifier: Apache-2.0
#include "gen/read/layout_resolution.hpp"

#include <algorithm>
#include <string>

#include "codec/flag_placement.hpp"
#include "codec/limits.hpp"

namespace tablegen {

uint64_t field_alignment(const FieldItem& item) {
  if (item.is_array() || item.width == 16) return 8;
  if (item.width == 2 || item.width == 4 || item.width == 8) return item.width;
  return 1;
}

// The parser bounds every offset, width and run length by kMaxFixedSize, so
// each end below stays under 2^33 and no sum or rounding can wrap 64 bits;
// a placed offset is stored only once it is known to be within the bounds.
bool resolve_layout(Definition& def, Diagnostics& diags) {
  const std::string beyond =
      ", beyond the largest fixed part of " + std::to_string(kMaxFixedSize) + " bytes";
  uint64_t end = kBaseHeaderSize;
  for (const auto& f : def.header) end = std::max(end, uint64_t{f.offset} + f.width);
  for (auto& item : def.fields) {
    if (!item.offset_given) {
      const uint64_t at = round_up(end, field_alignment(item));
      const std::string text =
          "field " + item_text(item, false) + " would be placed at " + std::to_string(at);
      if (at > kMaxFixedSize) {
        diags.error(def.path, item.line, text + beyond);
        return false;
      }
      item.offset = static_cast<uint32_t>(at);
      if (item.end() > kMaxFixedSize) {
        diags.error(def.path, item.line,
                    text + " and end at " + std::to_string(item.end()) + beyond);
        return false;
      }
    }
    end = std::max(end, item.end());
  }
  if (def.fields.empty()) return true;
  const int last_line = def.fields.back().line;
  const FlagPlacement flags = place_flags(def.fields);
  if (def.lines.flags_at == 0) {
    if (flags.flags_start > kMaxFixedSize) {
      diags.error(def.path, last_line,
                  "the data fields end at " + std::to_string(flags.flags_start) + beyond +
                      ", so no flags_at can follow them");
      return false;
    }
    def.flags_at = static_cast<uint32_t>(flags.flags_start);
  }
  if (def.lines.fixed_size == 0) {
    if (flags.fixed_size > kMaxFixedSize) {
      diags.error(
          def.path, last_line,
          "the presence flags need a fixed size of " + std::to_string(flags.fixed_size) + beyond);
      return false;
    }
    def.fixed_size = static_cast<uint32_t>(flags.fixed_size);
  }
  return true;
}

}  // namespace tablegen
