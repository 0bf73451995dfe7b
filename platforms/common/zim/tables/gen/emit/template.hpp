// SPDX-License-Identifier: Apache-2.0
// Templates (text/render.hpp) and the banner of every generated file.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "gen/emit/generated_file.hpp"
#include "gen/text/render.hpp"

namespace tablegen {

// The first line of every generated file: what it was made from, and that
// edits belong in the definitions. `source` is a definition's file name, or
// empty for a file made from the whole folder.
enum class CommentStyle { kLine, kBlock };
inline std::string banner(CommentStyle style, const std::string& source = "") {
  const std::string text = "Generated from defs/" + source + " by zim_tablegen; do not edit.";
  return style == CommentStyle::kLine ? "// " + text + "\n" : "/* " + text + " */\n";
}

// A template written to out: the placeholders named in parts by their
// functions, which write text as long as the catalogue as they make it, every
// other one from vars.
using TemplateParts = std::map<std::string_view, std::function<void()>>;
inline void render_to(OutputSink& out, std::string_view text, const Vars& vars,
                      const TemplateParts& parts) {
  size_t pos = 0;
  for (size_t open = text.find("$("); open != std::string_view::npos;
       open = text.find("$(", open + 2)) {
    const size_t close = text.find(')', open);
    const auto part = parts.find(text.substr(open + 2, close - open - 2));
    if (close == std::string_view::npos || part == parts.end()) continue;
    out.write(render(text.substr(pos, open - pos), vars));
    part->second();
    pos = close + 1;
  }
  out.write(render(text.substr(pos), vars));
}

}  // namespace tablegen
