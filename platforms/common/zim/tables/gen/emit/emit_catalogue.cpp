// SPDX-License-Identifier: Apache-2.0
// The catalogue of every type for tests and tools: each type's layout as
// data with each field's accessors, and its thirteen operations behind one
// signature for every type. One file that compiles as one unit, or as
// several in parallel (a catalogue of every type is a long compile).
#include "gen/emit/emit_catalogue.hpp"

#include <iterator>
#include <string>

#include "gen/emit/emit_catalogue_pieces.hpp"
#include "gen/emit/type_vars.hpp"
#include "gen/names/operations.hpp"

namespace tablegen {
namespace {

// Indexed by TypeClass.
constexpr const char* kClassEnum[] = {"TypeClass::kFixed", "TypeClass::kSizeChecked",
                                      "TypeClass::kPerNpu", "TypeClass::kCounted",
                                      "TypeClass::kCountOnly"};
static_assert(std::size(kClassEnum) == static_cast<size_t>(TypeClass::kCountOnly) + 1);

// The macros that choose what a unit holds; defaults: all of it.
constexpr const char* kPreamble =
    R"tpl(// Compiled once as it stands, this file is the whole catalogue. A build may
// compile it in parts instead, each with ZIM_TABLES_CATALOGUE_PIECES saying
// what the part holds (1 the table of types, 2 the types' layouts and
// accessors, 4 their operations and snapshots; or a sum of them) and, for
// types' pieces, ZIM_TABLES_CATALOGUE_SLICE k of ZIM_TABLES_CATALOGUE_SLICES:
// the types whose position in table-id order is k modulo the count.
#ifndef ZIM_TABLES_CATALOGUE_PIECES
#define ZIM_TABLES_CATALOGUE_PIECES 7
#endif
#ifndef ZIM_TABLES_CATALOGUE_SLICES
#define ZIM_TABLES_CATALOGUE_SLICES 1
#endif
#ifndef ZIM_TABLES_CATALOGUE_SLICE
#define ZIM_TABLES_CATALOGUE_SLICE 0
#endif
#if ZIM_TABLES_CATALOGUE_SLICE < 0 || ZIM_TABLES_CATALOGUE_SLICE >= ZIM_TABLES_CATALOGUE_SLICES
#error "ZIM_TABLES_CATALOGUE_SLICE lies outside 0 to ZIM_TABLES_CATALOGUE_SLICES - 1"
#endif
#define ZIM_TABLES_CATALOGUE_HOLDS(position, pieces) \
  ((ZIM_TABLES_CATALOGUE_PIECES & (pieces)) != 0 && \
   (position) % ZIM_TABLES_CATALOGUE_SLICES == ZIM_TABLES_CATALOGUE_SLICE)
#define ZIM_TABLES_CATALOGUE_TABLE ((ZIM_TABLES_CATALOGUE_PIECES & 1) != 0)
#define ZIM_TABLES_CATALOGUE_LAYOUTS 2
#define ZIM_TABLES_CATALOGUE_OPERATIONS 4

#include <cstring>
#include <string_view>

#include "zim/tables/catalogue.hpp"
)tpl";

constexpr const char* kTable = R"tpl(
#if ZIM_TABLES_CATALOGUE_TABLE
static_assert(sizeof(Operations) == $(operation_count) * sizeof(void (*)()),
              "the catalogue's operations are the generator's table of operations");

const char* const operation_names[] = {
$(operation_names)};

const TableType types[] = {
$(entries)};

const size_t type_count = sizeof types / sizeof types[0];
const uint32_t first_table_id = $(first_table_id);

const TableType* by_id(uint32_t table_id) {
  const uint64_t at = uint64_t{table_id} - first_table_id;
  return table_id >= first_table_id && at < type_count ? &types[at] : nullptr;
}

const TableType* find(std::string_view name) {
  for (size_t i = 0; i < type_count; ++i) {
    if (name == types[i].name) return &types[i];
  }
  return nullptr;
}
#endif

}  // namespace zim_tables::catalogue
)tpl";

constexpr const char* kEntry =
    R"tpl(    {"$(t)", "$(file_name)", $(table_id), $(class), $(fixed_size), $(flags_at), $(npd_present), $(count_field), $(size_check), $(bit5),
     $(ns)::header, $(header_count), $(ns)::fields, $(field_count),
     {{$(wisp)}},
     {$(fix_ptrs_line), $(size_ptr_line), $(alloc_line)},
     "$(unit_path)",
     $(fix_ptrs_proto),
     "$(size_ptr_proto)",
     "$(alloc_proto)",
     $(operations),
     $(ns)::snapshot},
)tpl";

std::string entry(const TypeLayout& type) {
  Vars v = type_vars(type);
  v["ns"] = catalogue_namespace(type);
  v["file_name"] = type.file_name;
  v["class"] = kClassEnum[static_cast<int>(type.type_class)];
  v["flags_at"] = str(type.flags_at);
  v["header_count"] = str(static_cast<uint32_t>(type.header.size()));
  v["field_count"] = str(static_cast<uint32_t>(type.fields.size()));
  v["fix_ptrs_proto"] =
      type.size_check ? "\"" + type.checks.fix_ptrs.prototype + "\"" : std::string("nullptr");
  v["operations"] = catalogue_operation_list(type);
  return render(kEntry, v);
}

// "#if ZIM_TABLES_CATALOGUE_HOLDS(position, pieces)\n" + text + "#endif\n"
std::string held(size_t position, const char* pieces, const std::string& text) {
  return "#if ZIM_TABLES_CATALOGUE_HOLDS(" + std::to_string(position) + ", " + pieces + ")\n" +
         text + "#endif\n";
}

// Each part includes the headers of its own types alone.
void write_includes(const std::vector<TypeLayout>& types, OutputSink& out) {
  for (size_t i = 0; i < types.size() && out.ok(); ++i) {
    out.write(held(i, "ZIM_TABLES_CATALOGUE_LAYOUTS | ZIM_TABLES_CATALOGUE_OPERATIONS",
                   "#include \"zim/tables/" + types[i].name + ".h\"\n"));
  }
}

void write_pieces(const std::vector<TypeLayout>& types, OutputSink& out) {
  out.write("\nnamespace zim_tables::catalogue {\n\n");
  for (auto it = types.begin(); it != types.end() && out.ok(); ++it) {
    out.write(catalogue_declarations(*it));
  }
  for (size_t i = 0; i < types.size() && out.ok(); ++i) {
    out.write("\n" + held(i, "ZIM_TABLES_CATALOGUE_LAYOUTS", catalogue_layouts(types[i])) +
              held(i, "ZIM_TABLES_CATALOGUE_OPERATIONS", catalogue_operations(types[i])));
  }
}

}  // namespace

void emit_catalogue(const std::vector<TypeLayout>& types, OutputSink& out) {
  std::string names;
  for (const Operation& op : kOperations) names += "    \"" + std::string(op.name) + "\",\n";
  out.open("zim_tables_catalogue.cpp");
  out.write(banner(CommentStyle::kLine));
  out.write(kPreamble);
  write_includes(types, out);
  write_pieces(types, out);
  const auto entries = [&] {
    for (auto it = types.begin(); it != types.end() && out.ok(); ++it) out.write(entry(*it));
  };
  render_to(out, kTable,
            {{"first_table_id", str(types.empty() ? 0 : types[0].table_id)},
             {"operation_names", names},
             {"operation_count", std::to_string(kOperations.size())}},
            {{"entries", entries}});
  out.close();
}

}  // namespace tablegen
