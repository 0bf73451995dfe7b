// SPDX-License-Identifier: Apache-2.0
#include "gen/load/catalogue_loader.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "gen/check/validator.hpp"
#include "gen/emit/emit_definition.hpp"
#include "gen/layout/plan.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/read/layout_resolution.hpp"
#include "gen/read/parser.hpp"
#include "gen/text/limits.hpp"

namespace fs = std::filesystem;

namespace tablegen {

namespace {

// NNN_name.ext with one extension: a definition under the wrong extension
// (003_x.def), not an editor's backup (003_x.tdef~, 003_x.tdef.orig).
bool named_like_a_definition(const std::string& name) {
  size_t i = 0;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
  if (i == 0 || i == name.size() || name[i] != '_') return false;
  const size_t dot = name.find('.', i);
  if (dot == std::string::npos || dot + 1 == name.size()) return false;
  for (size_t k = dot + 1; k < name.size(); ++k) {
    if (name[k] < 'a' || name[k] > 'z') return false;
  }
  return true;
}

}  // namespace

// The *.tdef entries of dir, sorted; every filesystem failure is reported.
// Hidden entries are not definitions: editors keep their lock files
// (.#000_x.tdef, often a dangling link) and swap files there, and tools their
// temporary files.
std::optional<std::vector<fs::path>> definition_files(const fs::path& dir, Diagnostics& diags) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    diags.error(dir.string(), 0, "not a folder of definitions");
    return std::nullopt;
  }
  std::vector<fs::path> files;
  fs::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name[0] == '.') continue;
    if (it->path().extension() == ".tdef") {
      files.push_back(it->path());
    } else if (named_like_a_definition(name)) {
      // Left out silently, it would surface only as a missing id.
      diags.error(it->path().string(), 0,
                  "named like a definition, but only *.tdef files are read: rename it to " +
                      it->path().stem().string() + ".tdef or move it out of the folder");
    }
  }
  if (ec) {
    diags.error(dir.string(), 0, "cannot list the folder: " + ec.message());
    return std::nullopt;
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) diags.error(dir.string(), 0, "no *.tdef definitions found");
  return files;
}

namespace {

bool read_definition(const fs::path& path, std::string& text, Diagnostics& diags) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) {
    diags.error(path.string(), 0, "cannot read: " + ec.message());
    return false;
  }
  if (!fs::is_regular_file(status)) {
    diags.error(path.string(), 0, "not a regular file");
    return false;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxDefinitionBytes) {
    diags.error(path.string(), 0,
                ec ? "cannot read: " + ec.message() : "larger than a definition can be (1 MiB)");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (!in || in.bad()) {
    diags.error(path.string(), 0, "cannot read");
    return false;
  }
  text = buffer.str();
  return true;
}

}  // namespace

std::optional<Definition> read_definition_file(const fs::path& file, Diagnostics& diags) {
  std::string text;
  if (!read_definition(file, text, diags)) return std::nullopt;
  auto def = parse_definition(file.string(), text, diags);
  if (!def || !resolve_layout(*def, diags)) return std::nullopt;
  validate_definition(*def, diags);
  return def;
}

std::optional<std::vector<Definition>> read_definitions(const std::vector<fs::path>& files,
                                                        Diagnostics& diags) {
  std::vector<Definition> defs;
  bool all_read = true;
  for (const auto& file : files) {
    if (auto def = read_definition_file(file, diags)) {
      defs.push_back(std::move(*def));
    } else {
      all_read = false;
    }
  }
  // File names sort by the digits of their ids, which differ in width from
  // id 1000 on: every output lists the types by id, so the catalogue does.
  // The file name breaks ties so that duplicates are reported the same way
  // on every run.
  std::sort(defs.begin(), defs.end(), [](const Definition& a, const Definition& b) {
    return a.table_id != b.table_id ? a.table_id < b.table_id : a.file_name < b.file_name;
  });
  // A definition that could not be read would show up as a gap in the ids
  // and be blamed on another file: check the whole set only once all are read.
  if (all_read) validate_catalogue(defs, diags);
  if (diags.has_errors()) return std::nullopt;
  return defs;
}

namespace {

// Every type of the folder planned; with canonical_text, each with its
// definition's canonical form, which --compat compares.
std::optional<std::vector<TypeLayout>> plan_folder(const fs::path& dir, bool canonical_text,
                                                   Diagnostics& diags) {
  const auto files = definition_files(dir, diags);
  if (!files) return std::nullopt;
  const auto defs = read_definitions(*files, diags);
  if (!defs) return std::nullopt;
  std::vector<TypeLayout> types;
  types.reserve(defs->size());
  for (const auto& def : *defs) {
    types.push_back(plan_layout(def));
    if (canonical_text) types.back().canonical_text = emit_definition(def);
  }
  return types;
}

}  // namespace

std::optional<std::vector<TypeLayout>> load_catalogue(const fs::path& dir, Diagnostics& diags) {
  return plan_folder(dir, false, diags);
}

std::optional<std::vector<TypeLayout>> load_layouts(const fs::path& path, Diagnostics& diags) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return plan_folder(path, true, diags);
  std::ifstream in(path, std::ios::binary);
  if (!fs::is_regular_file(path, ec) || !in) {
    diags.error(path.string(), 0, "neither a folder of definitions nor a readable manifest");
    return std::nullopt;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxManifestBytes) {
    diags.error(path.string(), 0,
                ec ? "cannot read: " + ec.message() : "larger than a manifest can be (1 GiB)");
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    diags.error(path.string(), 0, "cannot read");
    return std::nullopt;
  }
  return read_manifest(path.string(), text.str(), diags);
}

}  // namespace tablegen
