// SPDX-License-Identifier: Apache-2.0
#include "gen/cli/format_command.hpp"

#include <map>
#include <string>
#include <utility>

#include "gen/emit/emit_definition.hpp"
#include "gen/files/replace_file.hpp"
#include "gen/load/catalogue_loader.hpp"

namespace fs = std::filesystem;

namespace tablegen {
namespace {

// Rewrites each definition not in canonical form, folder by folder (a
// symbolic link followed to its target's), and removes the temporary files
// of killed runs from every folder it visits.
bool write_canonical(const std::vector<Definition>& defs, Diagnostics& diags) {
  // A file given twice, as itself and in its folder, is rewritten once.
  std::map<fs::path, std::map<std::string, const Definition*>> folders;
  for (const auto& def : defs) {
    std::error_code ec;
    const fs::path file = fs::canonical(def.path, ec);
    if (ec) {
      diags.error(def.path, 0, "cannot rewrite: " + ec.message());
    } else {
      folders[file.parent_path()].emplace(file.filename(), &def);
    }
  }
  for (const auto& [dir, files] : folders) {
    std::vector<Rewrite> rewrites;
    for (const auto& [name, def] : files) {
      std::string text = emit_definition(*def);
      if (text != def->text) rewrites.push_back({name, def->path, def->text, std::move(text)});
    }
    rewrite_files(dir, rewrites, diags);
  }
  return !diags.has_errors();
}

}  // namespace

bool format_definitions(const std::vector<fs::path>& paths, bool write, std::ostream& out,
                        Diagnostics& diags) {
  std::vector<Definition> defs;
  for (const auto& path : paths) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      if (auto def = read_definition_file(path, diags)) defs.push_back(std::move(*def));
      continue;
    }
    const auto files = definition_files(path, diags);
    if (!files) continue;
    if (auto folder = read_definitions(*files, diags)) {
      for (auto& def : *folder) defs.push_back(std::move(def));
    }
  }
  if (diags.has_errors()) return false;
  if (!write) {
    for (const auto& def : defs) out << emit_definition(def);
    return true;
  }
  return write_canonical(defs, diags);
}

}  // namespace tablegen
