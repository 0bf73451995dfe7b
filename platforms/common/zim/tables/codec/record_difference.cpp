// SPDX-License-Identifier: Apache-2.0
#include "codec/record_difference.hpp"

#include <exception>

#include "codec/compat.hpp"
#include "codec/layout_record.hpp"
#include "codec/printable.hpp"

namespace zim_codec {

std::string first_breaking_difference(std::string_view older, std::string_view newer,
                                      const RecordSides& sides) noexcept {
  try {
    std::string why;
    auto old_layout = read_layout_record(older, &why, "older record");
    auto new_layout = old_layout ? read_layout_record(newer, &why, "newer record") : std::nullopt;
    if (!old_layout || !new_layout) {
      const char* name = old_layout ? "newer record" : "older record";
      return "layout record unreadable: " +
             (why.empty() ? name + std::string(": more than one type") : why);
    }
    for (const CompatLine& line : compat_lines({*old_layout}, {*new_layout})) {
      if (!line.breaking) continue;
      if (line.older_has.empty()) return printable(line.text, 400);
      const std::string& type = line.newer_type.empty() ? line.older_type : line.newer_type;
      return printable(printable(type, 48) + ": " + sides.older + " " + line.older_has + "; " +
                           sides.newer + " " + line.newer_has,
                       400);
    }
    return "";
  } catch (const std::exception& e) {
    try {
      return std::string("layout record unreadable: ") + printable(e.what());
    } catch (...) {
      return {};
    }
  }
}

}  // namespace zim_codec
