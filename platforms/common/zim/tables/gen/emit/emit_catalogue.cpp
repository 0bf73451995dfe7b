// SPDX-License-Identifier: Apache-2.0
// The catalogue of every type for tests and tools: each type's layout as
// data with each field's accessors, and its thirteen operations behind one
// signature for every type.
#include "gen/emit/emit_catalogue.hpp"

#include <iterator>
#include <string>

#include "gen/emit/type_vars.hpp"
#include "gen/names/accessor_names.hpp"
#include "gen/names/constant_names.hpp"

namespace tablegen {
namespace {

// Indexed by ItemKind and by TypeClass.
constexpr const char* kKindEnum[] = {"ItemKind::kInline", "ItemKind::kPerNpuArray",
                                     "ItemKind::kCountedArray"};
static_assert(std::size(kKindEnum) == static_cast<size_t>(ItemKind::kCountedArray) + 1);
constexpr const char* kClassEnum[] = {"TypeClass::kFixed", "TypeClass::kSizeChecked",
                                      "TypeClass::kPerNpu", "TypeClass::kCounted",
                                      "TypeClass::kCountOnly"};
static_assert(std::size(kClassEnum) == static_cast<size_t>(TypeClass::kCountOnly) + 1);

constexpr const char* kLayoutArrays = R"tpl(const HeaderField $(t)_header[] = {$(header)};
const FieldItem $(t)_fields[] = {
$(fields)};
)tpl";

constexpr const char* kEntry =
    R"tpl(    {"$(t)", "$(file_name)", $(table_id), $(class), $(fixed_size), $(flags_at), $(npd_present), $(count_field), $(size_check), $(bit5),
     $(t)_header, $(header_count), $(t)_fields, $(field_count),
     {{$(wisp)}},
     {$(fix_ptrs_line), $(size_ptr_line), $(alloc_line)},
     "$(unit_path)",
     $(fix_ptrs_proto),
     "$(size_ptr_proto)",
     "$(alloc_proto)",
     {$(operations)},
     [](void* o) -> void* { return zim_$(t)_snapshot(static_cast<qor_$(t)_obj_st>(o)); }},
)tpl";

constexpr const char* kCatalogue = R"tpl(#include <cstring>
#include <string_view>

#include "zim/tables/all_tables.h"
#include "zim/tables/catalogue.hpp"

namespace zim_tables::catalogue {
namespace {

$(layout_arrays)
}  // namespace

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

}  // namespace zim_tables::catalogue
)tpl";

// A field's accessors as FieldAccessors: lambdas over the header's static
// inline functions, which have no address of their own in the library.
constexpr const char* kAccess = R"tpl(
     {[](void*$(o)) -> uint32_t { return $(length); },
      [](void* o, uint32_t$(i), void* out) { $(get_body) },
      [](void* o, uint32_t$(i), const void* in) { $(set_body) },
      [](void* o, uint32_t$(i)) -> bool { return $(has)($(args)) != 0; },
      [](void* o, uint32_t$(i)) { $(clear)($(args)); }})tpl";

// v: the last field's values, which this field's replace (one map for all
// the fields of a type).
std::string field_access(Vars& v, const TypeLayout& type, const FieldLayout& f, size_t index) {
  const AccessorNames names = accessor_names(type.name, f, index);
  const bool indexed = f.is_array() || f.run_length > 1;
  const bool scalar = f.width == 1 || f.width == 2 || f.width == 4 || f.width == 8;
  const std::string args =
      "static_cast<qor_" + type.name + "_obj_st>(o)" + std::string(indexed ? ", i" : "");
  v["o"] = f.is_array() ? " o" : "";
  v["length"] = f.is_array() ? names.length + "(static_cast<qor_" + type.name + "_obj_st>(o))"
                             : str(f.run_length);
  v["i"] = indexed ? " i" : "";
  v["args"] = args;
  v["has"] = names.has;
  v["clear"] = names.clear;
  if (scalar) {
    v["get_body"] =
        "const auto v = " + names.get + "(" + args + "); std::memcpy(out, &v, sizeof v);";
    v["set_body"] = "uint" + str(f.width * 8) + "_t v; std::memcpy(&v, in, sizeof v); " +
                    names.set + "(" + args + ", v);";
  } else {
    v["get_body"] = "std::memcpy(out, " + names.get + "(" + args + "), " + str(f.width) + ");";
    v["set_body"] = names.set + "(" + args + ", in);";
  }
  return render(kAccess, v);
}

std::string layout_arrays(const TypeLayout& type) {
  std::string header, fields;
  for (const HeaderField& h : type.header) {
    header += (header.empty() ? "{" : ", {") + str(h.offset) + ", " + str(h.width) + "}";
  }
  Vars access, item;  // each field's values replace the last one's
  for (size_t i = 0; i < type.fields.size(); ++i) {
    const FieldLayout& f = type.fields[i];
    item["kind"] = kKindEnum[static_cast<int>(f.kind)];
    item["offset"] = str(f.offset);
    item["width"] = str(f.width);
    item["run_length"] = str(f.run_length);
    item["flag_at"] = str(f.flag_at);
    item["label"] = field_label(f, i);
    item["access"] = field_access(access, type, f, i);
    fields += render(
        "    {{$(kind), $(offset), $(width), $(run_length)}, $(flag_at), "
        "\"$(label)\",$(access)},\n",
        item);
  }
  return render(kLayoutArrays, {{"t", type.name}, {"header", header}, {"fields", fields}});
}

std::string entry(const TypeLayout& type) {
  Vars v = type_vars(type);
  std::string operations;
  for (const Operation& op : kOperations) {
    operations += render("$(comma)[]$(signature) { $(call) }",
                         {{"comma", operations.empty() ? "" : ",\n     "},
                          {"signature", std::string(op.catalogue_signature)},
                          {"call", render(op.catalogue_call, v)}});
  }
  v["file_name"] = type.file_name;
  v["class"] = kClassEnum[static_cast<int>(type.type_class)];
  v["flags_at"] = str(type.flags_at);
  v["header_count"] = str(static_cast<uint32_t>(type.header.size()));
  v["field_count"] = str(static_cast<uint32_t>(type.fields.size()));
  v["fix_ptrs_proto"] =
      type.size_check ? "\"" + type.checks.fix_ptrs.prototype + "\"" : std::string("nullptr");
  v["operations"] = operations;
  return render(kEntry, v);
}

}  // namespace

void emit_catalogue(const std::vector<TypeLayout>& types, OutputSink& out) {
  std::string names;
  for (const Operation& op : kOperations) names += "    \"" + std::string(op.name) + "\",\n";
  out.open("zim_tables_catalogue.cpp");
  out.write(banner(CommentStyle::kLine));
  const auto arrays = [&] {
    for (auto it = types.begin(); it != types.end() && out.ok(); ++it)
      out.write(layout_arrays(*it));
  };
  const auto entries = [&] {
    for (auto it = types.begin(); it != types.end() && out.ok(); ++it) out.write(entry(*it));
  };
  render_to(out, kCatalogue,
            {{"first_table_id", str(types.empty() ? 0 : types[0].table_id)},
             {"operation_names", names},
             {"operation_count", std::to_string(kOperations.size())}},
            {{"layout_arrays", arrays}, {"entries", entries}});
  out.close();
}

}  // namespace tablegen
