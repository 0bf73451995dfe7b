// SPDX-License-Identifier: Apache-2.0
// The linker version script: every operation of every type, and nothing else.
#include "gen/emit/emit_export_map.hpp"

#include "gen/emit/type_vars.hpp"

namespace tablegen {
namespace {

constexpr const char* kExportMap =
    R"tpl(/* libzim_tables exports the operations of every table type and nothing else,
   under one version node so that a later release can add another beside it. */
ZIM_TABLES_1.0 {
  global:
$(names)  local:
    *;
};
)tpl";

}  // namespace

GeneratedFile emit_export_map(const std::vector<TypeLayout>& types) {
  std::string names;
  for (const auto& type : types) {
    for (const Operation& op : kOperations) {
      names += render("    $(name);\n", {{"name", operation_name(op, type.name)}});
    }
  }
  return {"zim_tables.map", banner(CommentStyle::kBlock) + render(kExportMap, {{"names", names}})};
}

}  // namespace tablegen
