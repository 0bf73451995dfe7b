// SPDX-License-Identifier: Apache-2.0
// The generated unit of one type: its traits, then the thirteen operations.
#include "gen/emit/emit_unit.hpp"

#include <iterator>
#include <string>

#include "gen/emit/type_vars.hpp"

namespace tablegen {
namespace {

std::string header_list(const TypeLayout& type) {
  std::string out;
  for (const auto& f : type.header) {
    if (!out.empty()) out += ", ";
    out += render("zt::header_field<$(offset), $(width)>",
                  {{"offset", str(f.offset)}, {"width", str(f.width)}});
  }
  return out;
}

constexpr const char* kStepTemplate[] = {
    "zt::inline_span<$(offset), $(bytes), $(flag_at), $(flags)>",
    "zt::per_npu_array<$(offset), $(bytes), $(flag_at)>",
    "zt::counted_array<$(offset), $(bytes), $(flag_at)>",
};
static_assert(std::size(kStepTemplate) == static_cast<size_t>(ItemKind::kCountedArray) + 1);

std::string step_list(const TypeLayout& type) {
  std::string out;
  Vars step, line;  // each step's values replace the last one's
  for (size_t i = 0; i < type.data_steps.size(); ++i) {
    const DataStep& s = type.data_steps[i];
    step["offset"] = str(s.offset);
    step["bytes"] = str(s.bytes);
    step["flag_at"] = str(s.flag_at);
    step["flags"] = str(s.flags);
    line["step"] = render(kStepTemplate[static_cast<int>(s.kind)], step);
    line["end"] = i + 1 == type.data_steps.size() ? ">;" : ",";
    line["items"] = s.items;
    out += render("      $(step)$(end)  // $(items)\n", line);
  }
  return out;
}

constexpr const char* kTraits = R"tpl(
// The library holds no layout notes: they belong to the programs and
// libraries that include the type headers, each one's own.
#define ZIM_TABLES_NO_LAYOUT_NOTE
#include "$(header_include)"

#include "table_ops.hpp"

namespace {

namespace zt = zim_tables;

struct $(T) {
  static constexpr uint32_t table_id = $(table_id);
  static constexpr uint32_t fixed_size = $(fixed_size);
  static constexpr uint32_t npd_present = $(npd_present);
  static constexpr uint32_t count_field = $(count_field);
  static constexpr bool size_check = $(size_check);
  static constexpr bool sets_obj_flags_bit5 = $(bit5);
  using header = zt::item_list<$(header)>;
  // In field order: inline_span<offset, bytes, first presence flag, flags>,
  // per_npu_array and counted_array<data pointer, element size, flag pointer>.
  using data = zt::item_list<
$(steps)  static constexpr char unit_path[] = "$(unit_path)";
$(fix_ptrs_check)  static constexpr zt::check_site size_ptr_check{$(size_ptr_line), "$(size_ptr_proto)"};
  static constexpr zt::check_site alloc_check{$(alloc_line), "$(alloc_proto)"};
  static constexpr zim_wisp_enums_t wisp{{$(wisp)}};
};

static_assert(zt::layout_is_consistent<$(T)>(), "$(t): layout constants disagree");

}  // namespace

extern "C" {

)tpl";

}  // namespace

GeneratedFile emit_unit(const TypeLayout& type) {
  Vars v = type_vars(type);
  v["header"] = header_list(type);
  v["header_include"] = type_header_include(type.name);
  v["steps"] = step_list(type);
  v["fix_ptrs_check"] =
      type.size_check
          ? render(
                "  static constexpr zt::check_site fix_ptrs_check{$(line), "
                "\"$(prototype)\"};\n",
                {{"line", v.at("fix_ptrs_line")}, {"prototype", type.checks.fix_ptrs.prototype}})
          : "";

  std::string unit = banner(CommentStyle::kLine, type.file_name) + render(kTraits, v);
  for (const Operation& op : kOperations) {
    unit += render(op.unit_before, v);
    unit += operation_signature(op, v);
    unit += render(op.unit_body, v) + "\n";
  }
  unit += "}  // extern \"C\"\n";
  return {unit_file(type.name), std::move(unit)};
}

}  // namespace tablegen
