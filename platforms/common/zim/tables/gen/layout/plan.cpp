// SPDX-License-Identifier: Apache-2.0
#include "gen/layout/plan.hpp"

#include <set>

#include "gen/names/names.hpp"
#include "codec/flag_placement.hpp"

namespace tablegen {
namespace {

// What places a type's three checks: how many of each thing its unit's
// checks come after.
struct CheckInputs {
  uint32_t data_fields = 0;     // inline fields (a run of n counts n) and array fields
  uint32_t header_fields = 0;   // fields of the type header
  uint32_t per_npu_arrays = 0;  // array fields of N elements
  uint32_t counted_arrays = 0;  // array fields of count elements
  uint32_t distinct_wisp = 0;   // 1 when the six trace identifiers all differ, else 0
};

// The lines the checks report. Assertion reports in the field quote these
// lines, and the people and tools that read the reports key on them, so they
// are fixed facts of each unit rather than a property of the text emitted
// here: the rules reproduce where the platform's units have always had them.
//
// Each constant is the check's line in a unit of its class with nothing
// counted. Each input then moves the check down by a fixed number of lines
// per thing it counts:
//   - before the fix-up and size-pointer checks, 4 lines per per-NPU array
//     and 9 per counted array (their pointer fix-ups);
//   - before the allocation check, 5 lines per data field and 1 per header
//     field (the copies), 12 more per per-NPU array and 17 more per counted
//     array (their element copies), and one line less when the six trace
//     identifiers all differ.
// With at most 65536 data fields the largest line stays far below 2^32.
CheckSites check_sites(TypeClass type_class, const CheckInputs& in) {
  const uint32_t copies = 5 * in.data_fields + in.header_fields - in.distinct_wisp;
  const uint32_t fix_ups = 4 * in.per_npu_arrays + 9 * in.counted_arrays;
  const uint32_t array_copies = 12 * in.per_npu_arrays + 17 * in.counted_arrays;
  CheckSites sites;
  switch (type_class) {
    case TypeClass::kFixed:
      sites.size_ptr.line = 65;
      sites.alloc.line = 169 + copies;
      break;
    case TypeClass::kSizeChecked:
      sites.fix_ptrs.line = 48;
      sites.size_ptr.line = 69;
      sites.alloc.line = 173 + copies;
      break;
    case TypeClass::kPerNpu:
      sites.fix_ptrs.line = 48 + fix_ups;
      sites.size_ptr.line = 69 + fix_ups;
      sites.alloc.line = 175 + copies + array_copies;
      break;
    case TypeClass::kCounted:
      sites.fix_ptrs.line = 49 + fix_ups;
      sites.size_ptr.line = 71 + fix_ups;
      sites.alloc.line = 179 + copies + array_copies;
      break;
    case TypeClass::kCountOnly:
      sites.size_ptr.line = 67;
      sites.alloc.line = 172 + copies;
      break;
  }
  return sites;
}

std::vector<DataStep> data_steps(const std::vector<FieldLayout>& fields) {
  std::vector<DataStep> steps;
  for (const FieldLayout& f : fields) {
    if (f.is_array()) {
      steps.push_back({f.kind, f.offset, f.width, f.flag_at, 8, item_text(f)});
      continue;
    }
    const uint32_t bytes = f.width * f.run_length;
    if (!steps.empty()) {
      DataStep& last = steps.back();
      if (last.kind == ItemKind::kInline && last.offset + last.bytes == f.offset &&
          last.flag_at + last.flags == f.flag_at) {
        last.bytes += bytes;
        last.flags += f.run_length;
        last.items += " " + item_text(f);
        continue;
      }
    }
    steps.push_back({ItemKind::kInline, f.offset, bytes, f.flag_at, f.run_length, item_text(f)});
  }
  return steps;
}

}  // namespace

TypeLayout plan_layout(const Definition& def) {
  TypeLayout t;
  static_cast<TypeFacts&>(t) = def;
  // A derived value, and a fact only the layout states, is reported where
  // the type begins.
  FactLines& lines = t.lines;
  if (lines.fixed_size == 0) lines.fixed_size = lines.table;
  if (lines.flags_at == 0) lines.flags_at = lines.table;
  lines.npd_present = lines.flags_at;
  lines.checks = lines.table;

  // Only valid definitions are planned: the validator has bounded every
  // offset by the largest fixed part, so each fits 32 bits.
  const FlagPlacement flags = place_flags(def.fields);
  t.npd_present = static_cast<uint32_t>(flags.npd_present);
  CheckInputs in;
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& item = def.fields[i];
    t.fields.push_back({item, static_cast<uint32_t>(flags.item_flag_at[i])});
    if (!item.is_array()) {
      in.data_fields += item.run_length;
      continue;
    }
    in.data_fields += 1;
    (item.kind == ItemKind::kPerNpuArray ? in.per_npu_arrays : in.counted_arrays) += 1;
    t.dynamic.push_back(item.offset);
  }
  t.data_steps = data_steps(t.fields);

  in.header_fields = static_cast<uint32_t>(def.header.size());
  in.distinct_wisp = std::set<uint32_t>(def.wisp.begin(), def.wisp.end()).size() == 6 ? 1 : 0;
  t.checks = check_sites(def.type_class, in);
  const CheckPrototypes prototypes =
      check_prototypes(def.name, def.count_field.has_value(), def.size_check);
  t.checks.fix_ptrs.prototype = prototypes.fix_ptrs;
  t.checks.size_ptr.prototype = prototypes.size_ptr;
  t.checks.alloc.prototype = prototypes.alloc;
  t.unit_path = unit_path(def.name);
  return t;
}

}  // namespace tablegen
