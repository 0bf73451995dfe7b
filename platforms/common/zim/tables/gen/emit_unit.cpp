// The generated unit of one type: its traits, then the thirteen operations.
#include <string>

#include "emit.hpp"

namespace tablegen {
namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

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
    "zt::inline_span<$(offset), $(bytes), $(flag_offset), $(flags)>",
    "zt::per_npu_array<$(offset), $(bytes), $(flag_offset)>",
    "zt::counted_array<$(offset), $(bytes), $(flag_offset)>",
};

std::string step_list(const TypeLayout& type) {
  std::string out;
  for (size_t i = 0; i < type.data_steps.size(); ++i) {
    const DataStep& s = type.data_steps[i];
    const bool last = i + 1 == type.data_steps.size();
    out += render("      $(step)$(end)  // $(items)\n",
                  {{"step", render(kStepTemplate[static_cast<int>(s.kind)],
                                   {{"offset", str(s.offset)},
                                    {"bytes", str(s.bytes)},
                                    {"flag_offset", str(s.flag_offset)},
                                    {"flags", str(s.flags)}})},
                   {"end", last ? ">;" : ","},
                   {"items", s.items}});
  }
  return out;
}

constexpr const char* kTraits = R"tpl(
#include "zim/tables/$(t).h"

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
$(steps)  static constexpr char unit_path[] = $(unit_path);
$(fix_ptrs_check)  static constexpr zt::check_site size_ptr_check{$(size_ptr_line), $(size_ptr_proto)};
  static constexpr zt::check_site alloc_check{$(alloc_line), $(alloc_proto)};
  static constexpr zim_wisp_enums_t wisp{{$(wisp)}};
};

static_assert(zt::layout_is_consistent<$(T)>(), "$(t): layout constants disagree");

}  // namespace

extern "C" {

)tpl";

}  // namespace

GeneratedFile emit_unit(const TypeLayout& type) {
  Vars v = type_vars(type);
  v["table_id"] = str(type.table_id);
  v["fixed_size"] = str(type.fixed_size);
  v["npd_present"] = str(type.npd_present);
  v["count_field"] = type.count_field ? str(*type.count_field) : "0";
  v["size_check"] = type.size_check ? "true" : "false";
  v["bit5"] = type.sets_obj_flags_bit5 ? "true" : "false";
  v["header"] = header_list(type);
  v["steps"] = step_list(type);
  v["unit_path"] = quoted(type.unit_path);
  const CheckSites& c = type.checks;
  v["fix_ptrs_check"] = type.size_check ? "  static constexpr zt::check_site fix_ptrs_check{" +
                                              str(c.fix_ptrs.line) + ", " +
                                              quoted(c.fix_ptrs.prototype) + "};\n"
                                        : "";
  v["size_ptr_line"] = str(c.size_ptr.line);
  v["size_ptr_proto"] = quoted(c.size_ptr.prototype);
  v["alloc_line"] = str(c.alloc.line);
  v["alloc_proto"] = quoted(c.alloc.prototype);
  std::string wisp;
  for (uint32_t w : type.wisp) wisp += (wisp.empty() ? "" : ", ") + str(w);
  v["wisp"] = wisp;

  std::string unit = banner(CommentStyle::kLine, type.file_name) + render(kTraits, v);
  for (const Operation& op : kOperations) {
    unit += render(op.unit_before, v);
    unit += render("$(result) $(name)($(params))", {{"result", render(op.result, v)},
                                                    {"name", render(op.name, v)},
                                                    {"params", render(op.params, v)}});
    unit += render(op.unit_body, v) + "\n";
  }
  unit += "}  // extern \"C\"\n";
  return {"vesk-autogensrc/" + type.name + "_common_utils.cpp", std::move(unit)};
}

}  // namespace tablegen
