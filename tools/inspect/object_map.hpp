// SPDX-License-Identifier: Apache-2.0
// Where everything of one object lies, for a type's layout and the values
// that size its object (N, NPD size, count): the regions of its byte map and
// the placement of its arrays, as the allocator lays them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gen/layout/type_layout.hpp"

namespace zim_inspect {

using tablegen::FieldLayout;
using tablegen::TypeLayout;

struct Sizing {
  uint32_t npus = 0;
  uint32_t npd_size = 0;
  uint32_t count = 0;  // ignored by types that take none
};

// [offset, offset + size) lies inside [0, limit). Never wraps: positions
// saturate at UINT64_MAX, beyond every object.
inline bool inside(uint64_t offset, uint64_t size, uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

// Positions are exact unless they saturated at UINT64_MAX, which a manifest
// read back may make them do (element sizes whose sums no object could have).
struct PlacedArray {
  size_t field = 0;     // index into TypeLayout::fields
  uint64_t length = 0;  // elements; 0 for an empty counted array
  uint64_t storage = 0;
  uint64_t storage_size = 0;  // length x element size
  uint64_t flags = 0;

  // Its elements and their flags lie inside an object of `size` bytes.
  bool within(uint64_t size) const {
    return inside(storage, storage_size, size) && inside(flags, length, size);
  }
};

struct ObjectMap {
  std::vector<PlacedArray> arrays;  // in layout order
  uint64_t end = 0;                 // first byte after the dynamic area
};

ObjectMap place(const TypeLayout& type, const Sizing& sizing);

// Every fact read through (base header, type header, count, fields, flags,
// pointers, npd_present) must lie inside the fixed part, so that an object
// of at least its fixed size is never read outside; else what lies outside,
// for a message.
std::optional<std::string> bounds_problem(const TypeLayout& type);

// One region of the byte map; the regions cover [0, end) without gaps.
struct Region {
  uint64_t offset = 0;
  uint64_t size = 0;
  std::string what;
};

std::vector<Region> regions(const TypeLayout& type, const Sizing& sizing, const ObjectMap& map);

// "field 3" or "field 3 (members)" for a named one.
std::string field_title(const TypeLayout& type, size_t index);
// The field's name, or its number in definition order.
std::string field_label(const TypeLayout& type, size_t index);

// The base-header fields that the library reads or writes.
struct BaseField {
  uint32_t offset, width;
  const char* name;
};
extern const BaseField kBaseFields[6];

}  // namespace zim_inspect
