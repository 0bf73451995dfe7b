// SPDX-License-Identifier: Apache-2.0
// The one way generated text and generated names are made: templates with
// "$(name)" placeholders, filled from named values, so that an emitter reads
// like the code it produces. A placeholder without a value is the generator's
// own fault and throws rather than emitting a half-made file.
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
    if (close == std::string_view::npos) throw std::logic_error("unclosed $( in a template");
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
