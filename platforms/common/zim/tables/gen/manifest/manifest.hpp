// SPDX-License-Identifier: Apache-2.0
// The layout manifest: every type's layout as processes sharing its objects
// see it, one readable line per fact, so that a layout change shows as a
// diff in review and two catalogues can be compared type by type.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// The manifest text of a catalogue, in table-id order (manifest_writer.cpp).
std::string manifest_text(const std::vector<TypeLayout>& types);

// zim_tables.manifest, the same text as a generated file, written a type at a
// time (manifest_writer.cpp).
void emit_manifest(const std::vector<TypeLayout>& types, OutputSink& out);

// Reads a manifest back into the layouts it states, each with the lines of
// the manifest that state its facts (manifest_reader.cpp). Reports what is
// malformed, or describes a layout no definition produces, and returns
// nothing then.
std::optional<std::vector<TypeLayout>> read_manifest(const std::string& path,
                                                     const std::string& text, Diagnostics& diags);

}  // namespace tablegen
