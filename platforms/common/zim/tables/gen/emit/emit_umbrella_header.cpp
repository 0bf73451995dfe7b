// SPDX-License-Identifier: Apache-2.0
// all_tables.h: every type's header, and every type as an X-macro list.
#include "gen/emit/emit_umbrella_header.hpp"

#include "gen/emit/template.hpp"
#include "gen/names/constant_names.hpp"

namespace tablegen {
namespace {

constexpr const char* kUmbrella = R"tpl(/* Every table type's operations, in table-id order. */
#ifndef ZIM_TABLES_ALL_TABLES_H
#define ZIM_TABLES_ALL_TABLES_H

$(includes)
/* Every table type as an X-macro list: X(TYPE, type) for each, in table-id
 * order, to build code over all types from their constants. */
#define ZIM_TABLES_FOR_EACH_TYPE(X)$(entries)

#endif /* ZIM_TABLES_ALL_TABLES_H */
)tpl";

}  // namespace

void emit_umbrella_header(const std::vector<TypeLayout>& types, OutputSink& out) {
  out.open(kUmbrellaHeaderFile);
  out.write(banner(CommentStyle::kBlock));
  const auto includes = [&] {
    for (const auto& type : types) out.write("#include \"zim/tables/" + type.name + ".h\"\n");
  };
  const auto entries = [&] {
    for (const auto& type : types) {
      out.write(" \\\n  X(" + upper(type.name) + ", " + type.name + ")");
    }
  };
  render_to(out, kUmbrella, {}, {{"includes", includes}, {"entries", entries}});
  out.close();
}

}  // namespace tablegen
