// SPDX-License-Identifier: Apache-2.0
// Turns type layouts into the text of every generated file, one emitter per
// kind of file. Each reads the layouts as the planner made them.
#pragma once

#include <string>
#include <vector>

#include "gen/read/definition.hpp"
#include "gen/names/names.hpp"
#include "gen/emit/template.hpp"
#include "gen/layout/type_layout.hpp"

namespace tablegen {

struct GeneratedFile {
  std::string relative_path;  // below the output folder, as names.hpp names it
  std::string content;
};

// src/vesk-autogensrc/<type>_common_utils.cpp (emit_unit.cpp)
GeneratedFile emit_unit(const TypeLayout& type);
// include/zim/tables/<type>.h (emit_type_header.cpp)
GeneratedFile emit_type_header(const TypeLayout& type);
// The offset constants of a type, part of its header (emit_offset_constants.cpp).
std::string offset_constants(const TypeLayout& type);
// The static inline accessors of a type's fields, part of its header
// (emit_accessors.cpp).
std::string accessors(const TypeLayout& type);
// include/zim/tables/all_tables.h (emit_umbrella_header.cpp)
GeneratedFile emit_umbrella_header(const std::vector<TypeLayout>& types);
// include/zim/tables/catalogue_size.h: the number of table types
// (emit_catalogue_size.cpp).
GeneratedFile emit_catalogue_size_header(const std::vector<TypeLayout>& types);
// The layout manifest of every type (manifest_writer.cpp).
GeneratedFile emit_manifest(const std::vector<TypeLayout>& types);
// The linker version script that exports the operations and nothing else
// (emit_export_map.cpp).
GeneratedFile emit_export_map(const std::vector<TypeLayout>& types);
// The catalogue of every type for tests and tools, not part of the library
// (emit_catalogue.cpp).
GeneratedFile emit_catalogue(const std::vector<TypeLayout>& types);

// A definition in its canonical form, every derived value written out
// (emit_definition.cpp). Reads the definition, not its layout, to keep its
// names and comments.
std::string emit_definition(const Definition& def);

// The values every template of a type is filled with: those of its
// operations (operation_vars) and its scalar facts.
Vars type_vars(const TypeLayout& type);

}  // namespace tablegen
