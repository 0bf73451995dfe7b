// Loads a catalogue: a folder of definitions read, validated and planned, or
// a manifest read back. Either gives the layout of every type.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "diagnostics.hpp"
#include "type_layout.hpp"

namespace tablegen {

// Reads every *.tdef file of dir, validates each definition and the set, and
// plans every type, in table-id order. Reports all problems and returns
// nothing if there is one.
std::optional<std::vector<TypeLayout>> load_catalogue(const std::filesystem::path& dir,
                                                      Diagnostics& diags);

// The layouts of a catalogue given as a folder of definitions or as a
// manifest file; nothing after reporting a problem.
std::optional<std::vector<TypeLayout>> load_layouts(const std::filesystem::path& path,
                                                    Diagnostics& diags);

}  // namespace tablegen
