// SPDX-License-Identifier: Apache-2.0
// Templates (text/render.hpp) and the banner of every generated file.
#pragma once

#include <string>

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

}  // namespace tablegen
