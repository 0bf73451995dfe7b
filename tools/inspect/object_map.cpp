// SPDX-License-Identifier: Apache-2.0
#include "object_map.hpp"

#include <algorithm>

#include "zim/tables/table_object.h"

namespace zim_inspect {

const BaseField kBaseFields[6] = {
    {ZIM_OBJ_UID_OFFSET, 4, "uid"},           {ZIM_OBJ_RELEASE_STAMP_OFFSET, 8, "release_stamp"},
    {ZIM_OBJ_FLAGS_OFFSET, 1, "obj_flags"},   {ZIM_OBJ_TOTAL_SIZE_OFFSET, 4, "total_obj_size"},
    {ZIM_OBJ_TABLE_ID_OFFSET, 2, "table_id"}, {ZIM_OBJ_ALLOC_STATE_OFFSET, 1, "alloc_state"},
};

std::string field_label(const TypeLayout& type, size_t index) {
  const std::string& name = type.fields[index].name;
  return name.empty() ? std::to_string(index) : name;
}

std::string field_title(const TypeLayout& type, size_t index) {
  const std::string& name = type.fields[index].name;
  return "field " + std::to_string(index) + (name.empty() ? "" : " (" + name + ")");
}

namespace {

// Saturating, as the placement's positions are.
uint64_t add(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

}  // namespace

std::vector<Region> regions(const TypeLayout& type, const Sizing& sizing, const ObjectMap& map) {
  std::vector<Region> named;
  for (const BaseField& b : kBaseFields) named.push_back({b.offset, b.width, b.name});
  for (size_t i = 0; i < type.header.size(); ++i) {
    const auto& h = type.header[i];
    const bool count = type.count_field && *type.count_field == h.offset;
    named.push_back({h.offset, h.width,
                     "type header field " + std::to_string(i) + (count ? ": the count" : "")});
  }
  for (size_t i = 0; i < type.fields.size(); ++i) {
    const FieldLayout& f = type.fields[i];
    const std::string title = field_title(type, i);
    if (f.kind == zim_codec::ItemKind::kInline) {
      const std::string shape = f.run_length == 1 ? std::to_string(f.width) + " bytes"
                                                  : std::to_string(f.run_length) + " x " +
                                                        std::to_string(f.width) + " bytes";
      named.push_back({f.offset, uint64_t{f.width} * f.run_length, title + ": " + shape});
      named.push_back({f.flag_at, f.run_length, "presence flags of " + title});
    } else {
      named.push_back({f.offset, 8, "data pointer of " + title});
      named.push_back({f.flag_at, 8, "flag pointer of " + title});
    }
  }
  named.push_back({type.npd_present, 1, "npd_present"});
  if (sizing.npd_size != 0) named.push_back({type.fixed_size, sizing.npd_size, "NPD area"});
  for (const PlacedArray& a : map.arrays) {
    if (a.length == 0) continue;
    const FieldLayout& f = type.fields[a.field];
    const std::string title = field_title(type, a.field);
    named.push_back({a.storage, a.storage_size,
                     "storage of " + title + ": " + std::to_string(a.length) + " x " +
                         std::to_string(f.width) + " bytes"});
    named.push_back({a.flags, a.length, "element flags of " + title});
  }
  std::stable_sort(named.begin(), named.end(),
                   [](const Region& a, const Region& b) { return a.offset < b.offset; });

  std::vector<Region> out;
  uint64_t at = 0;
  for (Region& r : named) {
    if (r.size == 0) continue;
    if (r.offset > at) {
      out.push_back({at, r.offset - at,
                     at < ZIM_OBJ_BASE_HEADER_SIZE ? "base header (platform)" : "padding"});
    }
    at = std::max(at, add(r.offset, r.size));
    out.push_back(std::move(r));
  }
  if (at < map.end) out.push_back({at, map.end - at, "padding"});
  return out;
}

}  // namespace zim_inspect
