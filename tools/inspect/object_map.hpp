// SPDX-License-Identifier: Apache-2.0
// Where everything of one object lies, for a type's layout and the values
// that size its object (N, NPD size, count): the regions of its byte map,
// around its arrays placed as the allocator lays them out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/model.hpp"
#include "migrate/object_placement.hpp"

namespace zim_inspect {

using zim_codec::FieldLayout;
using zim_codec::TypeLayout;

// The placement is the converter's (one implementation of the allocator's
// layout).
using zim_objects::bounds_problem;
using zim_objects::inside;
using zim_objects::ObjectMap;
using zim_objects::place;
using zim_objects::PlacedArray;
using zim_objects::Sizing;

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
