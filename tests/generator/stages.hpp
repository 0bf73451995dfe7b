// SPDX-License-Identifier: Apache-2.0
// The generator's stages run in process, on definition text or on a scratch
// copy of the definitions, with the messages they give.
#pragma once

#include <optional>
#include <sstream>
#include <string>

#include "gen/read/layout_resolution.hpp"
#include "gen/read/parser.hpp"
#include "tablegen_runner.hpp"

namespace tablegen_test {

inline std::string printed(const tablegen::Diagnostics& diags) {
  std::ostringstream out;
  diags.print(out);
  return out.str();
}

struct Staged {
  std::optional<tablegen::Definition> def;
  std::string messages;
};

// Text parsed as the file d.tdef and, if asked, its layout resolved.
inline Staged parse(const std::string& text, bool resolve = false) {
  tablegen::Diagnostics diags;
  auto def = tablegen::parse_definition("d.tdef", text, diags);
  if (def && resolve && !tablegen::resolve_layout(*def, diags)) def.reset();
  return {std::move(def), printed(diags)};
}

// What run() gives when called in dir, as a run of the tool there would see
// the folders in it; the working folder is restored.
template <class Run>
auto in_folder(const fs::path& dir, const Run& run) {
  struct Back {
    fs::path to;
    ~Back() { fs::current_path(to); }
  } back{fs::current_path()};
  fs::current_path(dir);
  return run();
}

}  // namespace tablegen_test
