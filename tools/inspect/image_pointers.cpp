// SPDX-License-Identifier: Apache-2.0
#include "image_pointers.hpp"

#include <zim/tables/table_object.h>

#include <cstring>

#include "codec/layout_record.hpp"

namespace zim_inspect {

bool RelativePointers::add(uint32_t table_id, std::string_view record, uint32_t npus,
                           uint32_t npd_size) {
  auto layout = zim_codec::read_layout_record(record);
  if (!layout || layout->table_id != table_id || zim_objects::bounds_problem(*layout)) return false;
  Type t{*layout, zim_objects::placement(*layout, npus, npd_size)};
  types_[table_id] = std::move(t);
  return true;
}

void RelativePointers::lay_out(uint32_t table_id, unsigned char* obj, uint64_t size) const {
  const auto it = types_.find(table_id);
  // Only types with a size check carry pointers (the constructor lays them out).
  if (it == types_.end() || !it->second.layout.size_check) return;
  const Type& t = it->second;
  uint32_t count = 0;
  if (t.layout.count_field && *t.layout.count_field + 4 <= size) {
    std::memcpy(&count, obj + *t.layout.count_field, sizeof count);
  }
  for (const zim_objects::LinearArray& a : t.placement.arrays) {
    const zim_codec::FieldLayout& field = t.layout.fields[a.field];
    const uint64_t length = t.placement.length(a, count);
    const bool has_storage = a.per_npu || length != 0;
    const uint64_t storage =
        zim_objects::saturating_add(a.start, zim_objects::saturating_mul(count, a.per_count));
    const uint64_t data = has_storage ? storage : 0;
    const uint64_t flags = has_storage ? zim_objects::saturating_add(
                                             storage, zim_objects::saturating_mul(length, a.width))
                                       : 0;
    if (zim_objects::inside(field.offset, 8, size)) std::memcpy(obj + field.offset, &data, 8);
    if (zim_objects::inside(field.flag_at, 8, size)) std::memcpy(obj + field.flag_at, &flags, 8);
  }
}

}  // namespace zim_inspect
