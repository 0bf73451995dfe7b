// Reads a folder of definitions into a validated, planned catalogue.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "definition.hpp"
#include "diagnostics.hpp"
#include "manifest.hpp"
#include "plan.hpp"

namespace tablegen {

struct Catalogue {
  std::vector<Definition> defs;  // in table-id order, whatever the file names' widths
  std::vector<TypePlan> plans;   // point into defs
};

// Reads every *.tdef file of dir, validates each definition and the set, and
// plans every type. Reports all problems and returns nothing if there is one.
std::unique_ptr<Catalogue> load_catalogue(const std::filesystem::path& dir, Diagnostics& diags);

// The layouts of a catalogue given as a folder of definitions or as a
// manifest file; nothing after reporting a problem.
std::optional<std::vector<TypeLayout>> load_layouts(const std::filesystem::path& path,
                                                    Diagnostics& diags);

}  // namespace tablegen
