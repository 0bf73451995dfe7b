// zim_tablegen: turns the table type definitions into the library's units.
//
//   zim_tablegen DEFS_DIR OUT_DIR   generate into OUT_DIR
//   zim_tablegen --check DEFS_DIR   only read and validate
//
// Pipeline: read every definition -> validate each, then the catalogue ->
// plan each type -> emit every file in memory -> write. Nothing is written
// unless every definition is valid, and a file is rewritten only when its
// content changed, so unchanged units do not recompile.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics.hpp"
#include "emit.hpp"
#include "parser.hpp"
#include "plan.hpp"
#include "validator.hpp"

namespace fs = std::filesystem;
using namespace tablegen;

namespace {

struct Output {
  fs::path path;
  std::string content;
};

std::vector<fs::path> definition_files(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".tdef")
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool read_file(const fs::path& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

// Writes through a temporary file and a rename, so a reader never sees a
// half-written file; leaves an unchanged file untouched.
bool write_if_changed(const Output& out) {
  std::string existing;
  if (read_file(out.path, existing) && existing == out.content) return true;
  fs::create_directories(out.path.parent_path());
  const fs::path tmp = out.path.string() + ".tmp";
  {
    std::ofstream file(tmp, std::ios::binary | std::ios::trunc);
    file << out.content;
    if (!file.flush()) return false;
  }
  std::error_code ec;
  fs::rename(tmp, out.path, ec);
  return !ec;
}

int usage() {
  std::cerr << "usage: zim_tablegen DEFS_DIR OUT_DIR\n"
               "       zim_tablegen --check DEFS_DIR\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return usage();
  const bool check_only = std::string(argv[1]) == "--check";
  const fs::path defs_dir = check_only ? argv[2] : argv[1];
  if (!fs::is_directory(defs_dir)) {
    std::cerr << defs_dir.string() << ": error: not a directory of definitions\n";
    return 2;
  }

  Diagnostics diags;
  std::vector<Definition> defs;
  const auto files = definition_files(defs_dir);
  if (files.empty()) diags.error(defs_dir.string(), 0, "no *.tdef definitions found");
  bool all_read = true;
  for (const auto& file : files) {
    std::string text;
    if (!read_file(file, text)) {
      diags.error(file.string(), 0, "cannot read file");
      all_read = false;
      continue;
    }
    if (auto def = parse_definition(file.string(), text, diags)) {
      validate_definition(*def, diags);
      defs.push_back(std::move(*def));
    } else {
      all_read = false;
    }
  }
  // A definition that could not be read would show up as a missing table id
  // and be blamed on the next file: check the whole set only once all are read.
  if (all_read) validate_catalogue(defs, diags);
  if (diags.has_errors()) {
    diags.print(std::cerr);
    std::cerr << "zim_tablegen: no files written\n";
    return 1;
  }
  if (check_only) return 0;

  std::vector<TypePlan> plans;
  plans.reserve(defs.size());
  for (const auto& def : defs) plans.push_back(plan_type(def));

  const fs::path out_dir = argv[2];
  const fs::path src_dir = out_dir / "src";
  const fs::path include_dir = out_dir / "include";
  std::vector<Output> outputs;
  for (const auto& plan : plans) {
    auto unit = emit_unit(plan);
    outputs.push_back({src_dir / unit.relative_path, std::move(unit.content)});
    auto header = emit_type_header(plan);
    outputs.push_back({include_dir / header.relative_path, std::move(header.content)});
  }
  auto umbrella = emit_umbrella_header(plans);
  outputs.push_back({include_dir / umbrella.relative_path, std::move(umbrella.content)});
  for (auto file : {emit_export_map(plans), emit_catalogue(plans)}) {
    outputs.push_back({out_dir / file.relative_path, std::move(file.content)});
  }

  for (const auto& out : outputs) {
    if (!write_if_changed(out)) {
      std::cerr << out.path.string() << ": error: cannot write\n";
      return 1;
    }
  }
  return 0;
}
