#include "plan.hpp"

#include <set>

#include "layout.hpp"

namespace tablegen {
namespace {

// With at most 65536 data fields the largest line stays far below 2^32.
CheckLines check_lines(TypeClass type_class, uint32_t n, uint32_t h, uint32_t nn, uint32_t nc,
                       uint32_t d) {
  switch (type_class) {
    case TypeClass::kFixed:
      return {0, 65, 169 + 5 * n + h - d};
    case TypeClass::kSizeChecked:
      return {48, 69, 173 + 5 * n + h - d};
    case TypeClass::kPerNpu:
      return {48 + 4 * nn, 69 + 4 * nn, 175 + 5 * n + h + 12 * nn - d};
    case TypeClass::kCounted:
      return {49 + 9 * nc + 4 * nn, 71 + 9 * nc + 4 * nn, 179 + 5 * n + h + 17 * nc + 12 * nn - d};
    case TypeClass::kCountOnly:
      return {0, 67, 172 + 5 * n + h - d};
  }
  return {};
}

}  // namespace

std::string item_text(const FieldItem& item) {
  std::string text = std::to_string(item.offset) + ":" + std::to_string(item.width);
  if (item.kind == ItemKind::kPerNpuArray) return text + "xN";
  if (item.kind == ItemKind::kCountedArray) return text + "xC";
  return item.repeat == 1 ? text : text + "x" + std::to_string(item.repeat);
}

TypePlan plan_type(const Definition& def) {
  TypePlan plan;
  plan.def = &def;
  // Only valid definitions are planned: the validator has bounded every
  // offset by the largest fixed part, so each fits 32 bits.
  const FlagLayout layout = compute_flag_layout(def.fields);
  for (uint64_t at : layout.item_flag_at) plan.item_flag_at.push_back(static_cast<uint32_t>(at));
  plan.npd_present = static_cast<uint32_t>(layout.npd_present);

  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& item = def.fields[i];
    const uint32_t flag_at = plan.item_flag_at[i];
    if (item.is_array()) {
      plan.steps.push_back({item.kind, item.offset, item.width, flag_at, 8, item_text(item)});
      (item.kind == ItemKind::kPerNpuArray ? plan.nn : plan.nc) += 1;
      plan.n += 1;
      continue;
    }
    plan.n += item.repeat;
    const uint32_t bytes = item.width * item.repeat;
    if (!plan.steps.empty()) {
      DataStep& last = plan.steps.back();
      if (last.kind == ItemKind::kInline && last.offset + last.bytes == item.offset &&
          last.flag_offset + last.flags == flag_at) {
        last.bytes += bytes;
        last.flags += item.repeat;
        last.items += " " + item_text(item);
        continue;
      }
    }
    plan.steps.push_back(
        {ItemKind::kInline, item.offset, bytes, flag_at, item.repeat, item_text(item)});
  }

  plan.h = static_cast<uint32_t>(def.header.size());
  plan.d = std::set<uint32_t>(def.wisp.begin(), def.wisp.end()).size() == 6 ? 1 : 0;
  plan.lines = check_lines(def.type_class, plan.n, plan.h, plan.nn, plan.nc, plan.d);

  const std::string& t = def.name;
  plan.unit_path = "./platforms/common/zim/tables/src/vesk-autogensrc/" + t + "_common_utils";
  if (def.size_check) {
    plan.fix_ptrs_prototype = "void qor_" + t + "_fix_ptrs(uint32_t, qor_" + t + "_obj_st)";
  }
  plan.size_ptr_prototype = "void qor_" + t + "_add_dynamic_to_obj_size(uint32_t *" +
                            (def.count_field ? ", uint32_t)" : ")");
  plan.alloc_prototype = "srv_" + t + "_t " + t + "_srv_alloc(uint32_t, zim_bool_t)";
  return plan;
}

}  // namespace tablegen
