// SPDX-License-Identifier: Apache-2.0
// Fills a table object with a pattern that depends on a seed and each byte's
// place, and checks objects and copies against it. The pattern covers the
// type-header fields (but the count), every inline field and presence flag,
// and the element storage and flags behind every array pointer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "zim/tables/catalogue.hpp"

namespace zim_demo {

using zim_tables::catalogue::TableType;

// Writes the pattern: the data fields through their accessors, which reach
// arrays through the object's own pointers.
void fill_object(const TableType& type, void* obj, uint32_t seed);

// Checks that obj holds the pattern of seed, that its array pointers lie in
// its own block, and that its count is `count`. Returns an empty string or a
// description of the first difference.
std::string check_object(const TableType& type, const void* obj, uint32_t seed, uint32_t count);

// The value of type V at a byte offset of an object.
template <typename V>
V field(const void* obj, uint64_t offset) {
  V v;
  std::memcpy(&v, static_cast<const unsigned char*>(obj) + offset, sizeof v);
  return v;
}

// Bytes of an object of that type as sized by its total_obj_size.
uint32_t total_size(const void* obj);

}  // namespace zim_demo
