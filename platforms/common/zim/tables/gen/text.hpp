// Renders code templates: "$(name)" placeholders are replaced from a map, so
// an emitter reads like the code it produces.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tablegen {

using Vars = std::map<std::string, std::string>;

inline std::string str(uint32_t v) { return std::to_string(v); }

inline std::string render(std::string_view text, const Vars& vars) {
  std::string out;
  out.reserve(text.size() + 256);
  size_t pos = 0;
  while (true) {
    const size_t open = text.find("$(", pos);
    if (open == std::string_view::npos) break;
    const size_t close = text.find(')', open);
    out.append(text.substr(pos, open - pos));
    const std::string key(text.substr(open + 2, close - open - 2));
    const auto it = vars.find(key);
    if (it == vars.end()) throw std::logic_error("template variable $(" + key + ") has no value");
    out += it->second;
    pos = close + 1;
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace tablegen
