// SPDX-License-Identifier: Apache-2.0
#include "migrate/object_placement.hpp"

#include "zim/tables/table_object.h"

namespace zim_objects {

using zim_codec::FieldLayout;
using zim_codec::ItemKind;
using zim_codec::TypeLayout;

PlacedArray Placement::at(const LinearArray& a, uint32_t count) const {
  PlacedArray p;
  p.field = a.field;
  p.length = length(a, count);
  p.storage = saturating_add(a.start, saturating_mul(count, a.per_count));
  p.storage_size = saturating_mul(p.length, a.width);
  p.flags = saturating_add(p.storage, p.storage_size);
  return p;
}

Placement placement(const TypeLayout& type, uint32_t npus, uint32_t npd_size) {
  Placement p;
  p.npus = npus;
  p.counted = type.count_field.has_value();
  uint64_t start = uint64_t{type.fixed_size} + npd_size, per_count = 0;
  for (size_t i = 0; i < type.fields.size(); ++i) {
    const FieldLayout& f = type.fields[i];
    if (f.kind == ItemKind::kInline) continue;
    const bool per_npu = f.kind == ItemKind::kPerNpuArray;
    p.arrays.push_back({i, per_npu, f.width, start, per_count});
    const uint64_t element = uint64_t{f.width} + 1;  // storage and its flag
    if (per_npu) {
      start = saturating_add(start, saturating_mul(npus, element));
    } else if (p.counted) {
      per_count = saturating_add(per_count, element);
    }
  }
  p.end_start = start;
  p.end_per_count = per_count;
  return p;
}

ObjectMap place(const TypeLayout& type, const Sizing& sizing) {
  const Placement p = placement(type, sizing.npus, sizing.npd_size);
  ObjectMap map;
  for (const LinearArray& a : p.arrays) map.arrays.push_back(p.at(a, sizing.count));
  map.end = p.end(sizing.count);
  return map;
}

std::optional<std::string> bounds_problem(const TypeLayout& t) {
  const auto outside = [&](const std::string& what) {
    return what + " lies outside the fixed size " + std::to_string(t.fixed_size);
  };
  if (t.fixed_size < ZIM_OBJ_BASE_HEADER_SIZE) return outside("the base header");
  // 32-bit offsets and sizes: their products and sums fit in 64 bits.
  std::optional<std::string> found;
  const auto check = [&](uint64_t offset, uint64_t size, const char* what) {
    if (!found && !inside(offset, size, t.fixed_size)) {
      found = outside(what + (" at " + std::to_string(offset)));
    }
  };
  for (const auto& h : t.header) check(h.offset, h.width, "a type-header field");
  if (t.count_field) check(*t.count_field, 4, "the count field");
  for (const auto& f : t.fields) {
    const bool array = f.kind != ItemKind::kInline;
    check(f.offset, array ? 8 : uint64_t{f.width} * f.run_length, "a field");
    check(f.flag_at, array ? 8 : uint64_t{f.run_length}, "a presence flag");
  }
  check(t.npd_present, 1, "npd_present");
  return found;
}

}  // namespace zim_objects
