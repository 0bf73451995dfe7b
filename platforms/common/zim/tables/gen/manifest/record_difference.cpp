// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/record_difference.hpp"

#include <sstream>
#include <vector>

#include "gen/manifest/compat.hpp"
#include "gen/manifest/manifest.hpp"

namespace tablegen {
namespace {

// The record's layout, or the first message on why it cannot be read.
std::optional<TypeLayout> read_record(const std::string& name, std::string_view text,
                                      std::string& why) {
  try {
    Diagnostics diags;
    auto layouts = read_manifest(name, std::string(text), diags);
    if (layouts && layouts->size() == 1) return std::move(layouts->front());
    std::ostringstream out;
    diags.print(out);
    why = out.str().substr(0, out.str().find('\n'));
    if (why.empty()) why = name + ": more than one type";
  } catch (const std::exception& e) {
    why = name + ": " + printable(e.what());
  }
  return std::nullopt;
}

}  // namespace

std::optional<TypeLayout> read_layout_record(std::string_view text) {
  std::string why;
  return read_record("layout record", text, why);
}

std::string first_breaking_difference(std::string_view older, std::string_view newer) {
  try {
    std::string why;
    auto old_layout = read_record("older record", older, why);
    auto new_layout = old_layout ? read_record("newer record", newer, why) : std::nullopt;
    if (!old_layout || !new_layout) return "layout record unreadable: " + why;
    for (const CompatLine& line : compat_lines({*old_layout}, {*new_layout})) {
      if (line.breaking) return line.text;
    }
    return "";
  } catch (const std::exception& e) {
    return std::string("layout record unreadable: ") + printable(e.what());
  }
}

}  // namespace tablegen
