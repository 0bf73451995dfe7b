// SPDX-License-Identifier: Apache-2.0
// Loads a catalogue: a folder of definitions read, validated and planned, or
// a manifest read back. Either gives the layout of every type.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// The *.tdef entries of dir but hidden ones (.name), sorted; nothing after
// reporting a failure.
std::optional<std::vector<std::filesystem::path>> definition_files(const std::filesystem::path& dir,
                                                                   Diagnostics& diags);

// One definition file read, its layout resolved and validated on its own;
// nothing if it could not be read or resolved. Validation errors are only
// reported: diags tells whether the definition holds.
std::optional<Definition> read_definition_file(const std::filesystem::path& file,
                                               Diagnostics& diags);

// The definitions of files, each validated and then the set as a catalogue,
// in table-id order; nothing after reporting any problem.
std::optional<std::vector<Definition>> read_definitions(
    const std::vector<std::filesystem::path>& files, Diagnostics& diags);

// Reads every *.tdef file of dir, validates each definition and the set, and
// plans every type, in table-id order. Reports all problems and returns
// nothing if there is one.
std::optional<std::vector<TypeLayout>> load_catalogue(const std::filesystem::path& dir,
                                                      Diagnostics& diags);

// The text of a manifest file, read bounded; nothing after reporting why it
// cannot be read (a folder, a missing file, one past the largest manifest).
std::optional<std::string> read_manifest_file(const std::filesystem::path& path,
                                              Diagnostics& diags);

// The layouts of a catalogue given as a folder of definitions, each with its
// canonical text, or as a manifest file; nothing after reporting a problem.
std::optional<std::vector<TypeLayout>> load_layouts(const std::filesystem::path& path,
                                                    Diagnostics& diags);

}  // namespace tablegen
