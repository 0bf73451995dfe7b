// Turns planned types into the text of every generated file.
#pragma once

#include <string>
#include <vector>

#include "plan.hpp"

namespace tablegen {

struct GeneratedFile {
  std::string relative_path;  // below the output folder of its kind
  std::string content;
};

// src/vesk-autogensrc/<type>_common_utils.cpp
GeneratedFile emit_unit(const TypePlan& plan);
// include/zim/tables/<type>.h
GeneratedFile emit_type_header(const TypePlan& plan);
// The layout constants of a type, part of its header.
std::string layout_constants(const TypePlan& plan);
// include/zim/tables/all_tables.h
GeneratedFile emit_umbrella_header(const std::vector<TypePlan>& plans);
// include/zim/tables/catalogue_size.h: the number of table types.
GeneratedFile emit_catalogue_size_header(const std::vector<TypePlan>& plans);
// The layout manifest of every type.
GeneratedFile emit_manifest(const std::vector<TypePlan>& plans);
// The linker version script that exports the operations and nothing else.
GeneratedFile emit_export_map(const std::vector<TypePlan>& plans);
// The catalogue of every type for tests and tools (not part of the library).
GeneratedFile emit_catalogue(const std::vector<TypePlan>& plans);

// Names of the thirteen exported operations of a type, in unit order.
std::vector<std::string> exported_operations(const std::string& type);

}  // namespace tablegen
