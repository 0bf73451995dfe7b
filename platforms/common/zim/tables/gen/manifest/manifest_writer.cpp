// SPDX-License-Identifier: Apache-2.0
// Writes the layout manifest, the text that read_manifest reads back.
#include "gen/emit/template.hpp"
#include "gen/manifest/manifest.hpp"

namespace tablegen {
namespace {

constexpr const char* kPreamble =
    R"tpl(# Layout of every table type as zim_tablegen derives it from the definitions.
# Generated; do not edit. After changing a definition, refresh it with
#   zim_tablegen --manifest DEFS_DIR > MANIFEST
# and review the diff: a changed line moves bytes under the processes that
# share objects of that type. Offsets and sizes are in bytes.
#   field OFFSET width W run N flag F: N inline fields of W bytes, flags from F
#   array DATA_PTR per_npu|counted elem E flag_ptr F: element storage and flags
#   either ends in 'name NAME' for a field its definition names
#   dynamic: data pointers in the order their arrays fill the dynamic area
)tpl";

constexpr const char* kRecord = R"tpl(
type $(table_id) $(t)
  class $(class)
  fixed_size $(fixed_size)
  count_param $(count_field)
  size_check $(size_check)
  obj_flags_bit5 $(bit5)
  header$(header)
$(fields)  npd_present $(npd_present)
  dynamic$(dynamic)
  check fix_ptrs $(fix_ptrs)
  check size_ptr $(size_ptr)
  check alloc $(alloc)
  wisp$(wisp)
)tpl";

std::string check_text(const CheckSite& site) {
  return site.line == 0 ? std::string("none") : str(site.line) + " \"" + site.prototype + "\"";
}

std::string field_line(const FieldLayout& f) {
  const std::string name = f.name.empty() ? "" : " name " + f.name;
  if (!f.is_array()) {
    return render("  field $(offset) width $(width) run $(run) flag $(flag)$(name)\n",
                  {{"offset", str(f.offset)},
                   {"width", str(f.width)},
                   {"run", str(f.run_length)},
                   {"flag", str(f.flag_at)},
                   {"name", name}});
  }
  return render("  array $(offset) $(kind) elem $(width) flag_ptr $(flag)$(name)\n",
                {{"offset", str(f.offset)},
                 {"kind", f.kind == ItemKind::kPerNpuArray ? "per_npu" : "counted"},
                 {"width", str(f.width)},
                 {"flag", str(f.flag_at)},
                 {"name", name}});
}

}  // namespace

std::string manifest_text(const std::vector<TypeLayout>& types) {
  std::string out = kPreamble;
  for (const TypeLayout& t : types) {
    std::string header, fields, dynamic, wisp;
    for (const auto& h : t.header) header += " " + item_text(h);
    for (const auto& f : t.fields) fields += field_line(f);
    for (uint32_t at : t.dynamic) dynamic += " " + str(at);
    for (uint32_t w : t.wisp) wisp += " " + str(w);
    out += render(kRecord, {{"table_id", str(t.table_id)},
                            {"t", t.name},
                            {"class", class_keyword(t.type_class)},
                            {"fixed_size", str(t.fixed_size)},
                            {"count_field", t.count_field ? "on " + str(*t.count_field) : "off"},
                            {"size_check", t.size_check ? "on" : "off"},
                            {"bit5", t.sets_obj_flags_bit5 ? "set" : "clear"},
                            {"header", header},
                            {"fields", fields},
                            {"npd_present", str(t.npd_present)},
                            {"dynamic", dynamic.empty() ? " none" : dynamic},
                            {"fix_ptrs", check_text(t.checks.fix_ptrs)},
                            {"size_ptr", check_text(t.checks.size_ptr)},
                            {"alloc", check_text(t.checks.alloc)},
                            {"wisp", wisp}});
  }
  return out;
}

GeneratedFile emit_manifest(const std::vector<TypeLayout>& types) {
  return {"zim_tables.manifest", manifest_text(types)};
}

}  // namespace tablegen
