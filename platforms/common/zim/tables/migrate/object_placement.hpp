// SPDX-License-Identifier: Apache-2.0
// Where the arrays of one object lie, for a type's layout and the values that
// size its object (N, NPD size, count), as the allocator lays them out: one
// implementation for the inspector's byte maps and the converter's objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/model.hpp"

namespace zim_objects {

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

// Positions saturate instead of wrapping: a catalogue read from a manifest
// may hold element sizes whose sums no object could have. With every term
// non-negative, a sum saturates exactly when its true value does not fit, so
// the linear form and a walk field by field agree.
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}
inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
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

// The placement for every count at once: with N and the NPD size fixed, each
// array's storage starts at `start + count x per_count`, so placing one
// object is a few products, not a walk over the type's fields.
struct LinearArray {
  size_t field = 0;
  bool per_npu = false;
  uint32_t width = 0;      // element size
  uint64_t start = 0;      // its storage with count 0
  uint64_t per_count = 0;  // added per element of the count
};

struct Placement {
  uint32_t npus = 0;
  bool counted = false;  // the type has a count field: counted arrays hold `count` elements
  std::vector<LinearArray> arrays;  // in layout order
  uint64_t end_start = 0;           // the end of the dynamic area with count 0
  uint64_t end_per_count = 0;

  uint64_t length(const LinearArray& a, uint32_t count) const {
    return a.per_npu ? npus : counted ? count : 0;
  }
  PlacedArray at(const LinearArray& a, uint32_t count) const;
  uint64_t end(uint32_t count) const {
    return saturating_add(end_start, saturating_mul(count, end_per_count));
  }
};

Placement placement(const zim_codec::TypeLayout& type, uint32_t npus, uint32_t npd_size);

ObjectMap place(const zim_codec::TypeLayout& type, const Sizing& sizing);

// Every fact read through (base header, type header, count, fields, flags,
// pointers, npd_present) must lie inside the fixed part, so that an object
// of at least its fixed size is never read outside; else what lies outside,
// for a message.
std::optional<std::string> bounds_problem(const zim_codec::TypeLayout& type);

}  // namespace zim_objects
