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

void emit_export_map(const std::vector<TypeLayout>& types, OutputSink& out) {
  out.open("zim_tables.map");
  out.write(banner(CommentStyle::kBlock));
  const auto names = [&] {
    for (const auto& type : types) {
      std::string lines;
      for (const Operation& op : kOperations)
        lines += "    " + operation_name(op, type.name) + ";\n";
      out.write(lines);
    }
  };
  render_to(out, kExportMap, {}, {{"names", names}});
  out.close();
}

}  // namespace tablegen
