// SPDX-License-Identifier: Apache-2.0
#include "gen/load/catalogue_loader.hpp"

#include <fcntl.h>

#include <algorithm>

#include "gen/check/validator.hpp"
#include "gen/emit/emit_definition.hpp"
#include "gen/files/read_file.hpp"
#include "gen/layout/plan.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/names/names.hpp"
#include "gen/read/layout_resolution.hpp"
#include "gen/read/parser.hpp"
#include "codec/limits.hpp"

namespace fs = std::filesystem;

namespace tablegen {

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
    if (definition_entry(name) == DefinitionEntry::kDefinition) {
      files.push_back(it->path());
    } else if (definition_entry(name) == DefinitionEntry::kMisnamed) {
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

constexpr FileKind kDefinitionFile{"a definition", kMaxDefinitionBytes, "1 MiB"};
constexpr FileKind kManifestFile{"a manifest", kMaxManifestBytes, "1 GiB"};

}  // namespace

std::optional<Definition> read_definition_file(const fs::path& file, Diagnostics& diags) {
  const auto text = read_text_file(file, kDefinitionFile, diags);
  if (!text) return std::nullopt;
  auto def = parse_definition(file.string(), *text, diags);
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

std::optional<std::string> read_manifest_file(const fs::path& path, Diagnostics& diags) {
  const FileText file = read_file(AT_FDCWD, path.string(), kManifestFile.max_bytes);
  if (file.fault == ReadFault::kCannotOpen || file.fault == ReadFault::kNotRegular) {
    diags.error(path.string(), 0, "neither a folder of definitions nor a readable manifest");
    return std::nullopt;
  }
  if (file.fault != ReadFault::kNone) {
    diags.error(path.string(), 0, read_fault_text(file, kManifestFile));
    return std::nullopt;
  }
  return file.text;
}

std::optional<std::vector<TypeLayout>> load_layouts(const fs::path& path, Diagnostics& diags) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return plan_folder(path, true, diags);
  const std::optional<std::string> text = read_manifest_file(path, diags);
  if (!text) return std::nullopt;
  return read_manifest(path.string(), *text, diags);
}

}  // namespace tablegen
