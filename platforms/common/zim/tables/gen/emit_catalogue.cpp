// The catalogue of every type for tests and tools.
#include <string>

#include "emit.hpp"
#include "layout_names.hpp"
#include "manifest.hpp"
#include "text.hpp"

namespace tablegen {
namespace {

const char* kind_enum(ItemKind k) {
  switch (k) {
    case ItemKind::kInline:
      return "item_kind::inline_run";
    case ItemKind::kPerNpuArray:
      return "item_kind::per_npu_array";
    case ItemKind::kCountedArray:
      return "item_kind::counted_array";
  }
  return "";
}

constexpr const char* kOperations = R"(
    {[](uint32_t npd, void* o) { qor_$(t)_fix_ptrs(npd, static_cast<qor_$(t)_obj_st>(o)); },
     [](void* o) { zim_$(t)_fix_ptrs_from_base(static_cast<qor_$(t)_obj_st>(o)); },
     [](uint32_t* p, uint32_t c) { $(add_dynamic_call); },
     [](uint32_t c) { $(get_obj_size_call); },
     [] { return zim_$(t)_get_wisp_enums(); },
     [](void* s, void* d) { qor_$(t)_read_dbobj(static_cast<qor_$(t)_obj_st>(s), static_cast<qor_$(t)_obj_st>(d)); },
     [](void* s, void* d) { qor_$(t)_write_dbobj_base(static_cast<qor_$(t)_obj_st>(s), static_cast<qor_$(t)_obj_st>(d)); },
     [](void* s, void* d) { qor_$(t)_read_dbobj_base(static_cast<qor_$(t)_obj_st>(s), static_cast<qor_$(t)_obj_st>(d)); },
     [](uint32_t c) -> void* { $(ctor_call); },
     [](uint32_t c) -> void* { $(ctor_shm_call); },
     [](void* s) -> void* { return zim_$(t)_copy_ctor(static_cast<qor_$(t)_obj_st>(s)); },
     [](void* s) -> void* { return zim_$(t)_copy_ctor_with_shm(static_cast<qor_$(t)_obj_st>(s)); },
     [](void* o) { zim_$(t)_clnt_copy_dtor(static_cast<qor_$(t)_obj_st>(o)); }}},
)";

std::string entry(const TypePlan& plan) {
  const Definition& def = *plan.def;
  const std::string& t = def.name;
  const bool counted = def.count_field.has_value();
  std::string out =
      "    {\"" + t + "\", \"" + def.file_name + "\", " + str(def.table_id) + ", " +
      "type_class::" + std::string(class_keyword(def.type_class)) + ", " + str(def.fixed_size) +
      ", " + str(def.flags_at) + ", " + str(plan.npd_present) + ", " +
      (counted ? str(*def.count_field) : "0") + ", " + (def.size_check ? "true" : "false") + ", " +
      (def.sets_obj_flags_bit5 ? "true" : "false") + ",\n     " + t + "_header, " +
      str(def.header.size()) + ", " + t + "_fields, " + str(def.fields.size()) + ",\n     {{";
  for (size_t i = 0; i < 6; ++i) out += (i ? ", " : "") + str(def.wisp[i]);
  out += "}},\n     {" + str(plan.lines.fix_ptrs) + ", " + str(plan.lines.size_ptr) + ", " +
         str(plan.lines.alloc) + "},\n     \"" + plan.unit_path + "\",\n     " +
         (def.size_check ? "\"" + plan.fix_ptrs_prototype + "\"" : std::string("nullptr")) +
         ",\n     \"" + plan.size_ptr_prototype + "\",\n     \"" + plan.alloc_prototype + "\",";
  Vars v;
  v["t"] = t;
  const std::string count_arg = counted ? "c" : "";
  v["add_dynamic_call"] = counted ? "qor_" + t + "_add_dynamic_to_obj_size(p, c)"
                                  : "(void)c; qor_" + t + "_add_dynamic_to_obj_size(p)";
  v["get_obj_size_call"] = counted ? "return qor_" + t + "_get_obj_size(c)"
                                   : "(void)c; return qor_" + t + "_get_obj_size()";
  v["ctor_call"] =
      counted ? "return qor_srv_" + t + "_ctor(c)" : "(void)c; return qor_srv_" + t + "_ctor()";
  v["ctor_shm_call"] = counted ? "return zim_srv_" + t + "_ctor_with_shm(c)"
                               : "(void)c; return zim_srv_" + t + "_ctor_with_shm()";
  return out + render(kOperations, v);
}

std::string layout_arrays(const TypePlan& plan) {
  const Definition& def = *plan.def;
  std::string out = "const header_field " + def.name + "_header[] = {";
  for (size_t i = 0; i < def.header.size(); ++i) {
    out += (i ? ", " : "") + std::string("{") + str(def.header[i].offset) + ", " +
           str(def.header[i].width) + "}";
  }
  out += "};\nconst field_item " + def.name + "_fields[] = {\n";
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& f = def.fields[i];
    out += "    {" + std::string(kind_enum(f.kind)) + ", " + str(f.offset) + ", " + str(f.width) +
           ", " + str(f.repeat) + ", " + str(plan.item_flag_at[i]) + ", \"" + field_label(f, i) +
           "\"},\n";
  }
  return out + "};\n";
}

}  // namespace

GeneratedFile emit_catalogue(const std::vector<TypePlan>& plans) {
  std::string out =
      "// Generated from defs/ by zim_tablegen; do not edit.\n"
      "#include <string_view>\n\n"
      "#include \"zim/tables/all_tables.h\"\n"
      "#include \"zim/tables/catalogue.hpp\"\n\n"
      "namespace zim_tables::catalogue {\n"
      "namespace {\n\n";
  for (const auto& plan : plans) out += layout_arrays(plan);
  out += "\n}  // namespace\n\nconst table_type types[] = {\n";
  for (const auto& plan : plans) out += entry(plan);
  out +=
      "};\n\nconst size_t type_count = sizeof types / sizeof types[0];\n\n"
      "const table_type* find(std::string_view name) {\n"
      "  for (size_t i = 0; i < type_count; ++i) {\n"
      "    if (name == types[i].name) return &types[i];\n"
      "  }\n"
      "  return nullptr;\n"
      "}\n\n"
      "}  // namespace zim_tables::catalogue\n";
  return {"zim_tables_catalogue.cpp", out};
}

GeneratedFile emit_catalogue_size_header(const std::vector<TypePlan>& plans) {
  return {"zim/tables/catalogue_size.h",
          "/* Generated from defs/ by zim_tablegen; do not edit. */\n"
          "#ifndef ZIM_TABLES_CATALOGUE_SIZE_H\n#define ZIM_TABLES_CATALOGUE_SIZE_H\n\n"
          "/* Number of table types in the catalogue; table ids run from 0 to this - 1. */\n"
          "#define ZIM_NUM_TABLE_TYPES " +
              str(static_cast<uint32_t>(plans.size())) +
              "u\n\n#endif /* ZIM_TABLES_CATALOGUE_SIZE_H */\n"};
}

GeneratedFile emit_manifest(const std::vector<TypePlan>& plans) {
  std::vector<TypeLayout> layouts;
  for (const auto& plan : plans) layouts.push_back(layout_of(plan));
  return {"zim_tables.manifest", manifest_text(layouts)};
}

}  // namespace tablegen
