// SPDX-License-Identifier: Apache-2.0
// One type's pieces of the catalogue: named definitions rather than lambdas
// in the table, so that units other than the table's can define them.
#include "gen/emit/emit_catalogue_pieces.hpp"

#include <iterator>
#include <string_view>

#include "gen/emit/type_vars.hpp"
#include "gen/names/accessor_names.hpp"
#include "gen/names/constant_names.hpp"
#include "gen/names/operations.hpp"

namespace tablegen {
namespace {

// Indexed by ItemKind.
constexpr const char* kKindEnum[] = {"ItemKind::kInline", "ItemKind::kPerNpuArray",
                                     "ItemKind::kCountedArray"};
static_assert(std::size(kKindEnum) == static_cast<size_t>(ItemKind::kCountedArray) + 1);

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

std::string header_array(const TypeLayout& type) {
  std::string header;
  for (const HeaderField& h : type.header) {
    header += (header.empty() ? "{" : ", {") + str(h.offset) + ", " + str(h.width) + "}";
  }
  return "const HeaderField header[] = {" + header + "};\n";
}

std::string fields_array(const TypeLayout& type) {
  std::string fields;
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
  return "const FieldItem fields[] = {\n" + fields + "};\n";
}

// An operation's name in the catalogue, that of its member of Operations:
// the exported name without its prefix and the type's name.
std::string operation_member(const Operation& op) {
  std::string name(op.name);
  for (std::string_view part : {"qor_", "zim_", "$(t)_"}) {
    const size_t at = name.find(part);
    if (at != std::string::npos) name.erase(at, part.size());
  }
  return name;
}

// The operation's catalogue function, "result name(params)", from its
// signature "(params)" or "(params) -> result".
std::string operation_prototype(const Operation& op) {
  const std::string_view signature = op.catalogue_signature;
  const size_t arrow = signature.find(" -> ");
  const std::string_view params = signature.substr(0, arrow);
  const std::string result =
      arrow == std::string_view::npos ? "void" : std::string(signature.substr(arrow + 4));
  return result + " " + operation_member(op) + std::string(params);
}

constexpr const char* kSnapshotPrototype = "void* snapshot(void* o)";

}  // namespace

std::string catalogue_namespace(const TypeLayout& type) { return "of_" + type.name; }

std::string catalogue_declarations(const TypeLayout& type) {
  std::string text = "namespace " + catalogue_namespace(type) +
                     " {\nextern const HeaderField header[];\nextern const FieldItem fields[];\n";
  for (const Operation& op : kOperations) text += operation_prototype(op) + ";\n";
  return text + kSnapshotPrototype + ";\n}  // namespace " + catalogue_namespace(type) + "\n";
}

std::string catalogue_layouts(const TypeLayout& type) {
  return "namespace " + catalogue_namespace(type) + " {\n" + header_array(type) +
         fields_array(type) + "}  // namespace " + catalogue_namespace(type) + "\n";
}

std::string catalogue_operations(const TypeLayout& type) {
  std::string text = "namespace " + catalogue_namespace(type) + " {\n";
  const Vars v = type_vars(type);
  for (const Operation& op : kOperations) {
    text += operation_prototype(op) + " { " + render(op.catalogue_call, v) + " }\n";
  }
  return text + kSnapshotPrototype + " { return zim_" + type.name + "_snapshot(static_cast<qor_" +
         type.name + "_obj_st>(o)); }\n}  // namespace " + catalogue_namespace(type) + "\n";
}

std::string catalogue_operation_list(const TypeLayout& type) {
  std::string list;
  for (const Operation& op : kOperations) {
    list += (list.empty() ? "{" : ",\n      ") + catalogue_namespace(type) +
            "::" + operation_member(op);
  }
  return list + "}";
}

}  // namespace tablegen
