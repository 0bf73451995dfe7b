// SPDX-License-Identifier: Apache-2.0
// The object images that follow from the reference data, the reports the
// library gives, and small helpers over raw object bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference.hpp"
#include "test_platform.hpp"
#include "zim/tables/catalogue.hpp"

namespace zim_test {

using Bytes = std::vector<unsigned char>;

// The catalogue entry, for what the reference data leaves out (inline
// fields, headers, operations).
inline const zim_tables::catalogue::TableType& cat(const RefType& t) {
  return zim_tables::catalogue::types[t.id];
}

// The reports of a failed fix-up check and of a failed allocation.
AssertReport fix_ptrs_report(const RefType& t);
AssertReport alloc_report(const RefType& t);

// One array field placed for an object: offsets from the object's start, 0
// for the null pointers of an empty counted array.
struct PlacedArray {
  RefArray field;
  uint64_t length, data_at, flags_at;
};
struct ObjectLayout {
  uint64_t size;  // pointer_fixed_size, which is also the allocated size
  std::vector<PlacedArray> arrays;
};
ObjectLayout expected_layout(const RefType& t, uint32_t npus, uint32_t npd, uint32_t count);

struct Combo {
  uint32_t npus, npd, count;
};
// N x NPD size x count (the count only varies for types that take one).
std::vector<Combo> combos(const RefType& t);
std::string describe(const RefType& t, const Combo& c);

// The image a fresh object at `base` must have: zero but for what the
// allocator stamps and the pointers it lays out.
Bytes fresh_image(const RefType& t, const ObjectLayout& l, const void* base, uint32_t npd,
                  uint32_t count, uint32_t uid);

// Writes the data and flag pointers of an object at `base` into image.
void write_pointers(unsigned char* image, const ObjectLayout& l, const void* base);

// Fills every byte of the object with noise from rng() except its pointers
// and its count field, which the layout depends on.
template <typename Rng>
void scramble(void* obj, const RefType& t, const ObjectLayout& l, Rng& rng) {
  auto* b = static_cast<unsigned char*>(obj);
  const Bytes before(b, b + l.size);
  for (uint64_t i = 0; i < l.size; ++i) b[i] = static_cast<unsigned char>(rng());
  const auto keep = [&](uint64_t at, uint64_t n) { std::memcpy(b + at, &before[at], n); };
  for (const RefArray& a : t.arrays) {
    keep(a.data_ptr, 8);
    keep(a.flag_ptr, 8);
  }
  if (t.count_field != 0) keep(t.count_field, 4);
}

// The copy rules over an image. copy_headers: bytes 0..191 of src, then each
// type-header field. copy_data, for an image laid out as `dst`: the inline
// fields with their flags, then for each array dst's length of storage and
// of flags from where src's pointers lead, unless the pointer is null.
void copy_headers(Bytes& image, const RefType& t, const void* src);
void copy_data(Bytes& image, const RefType& t, const void* src, const ObjectLayout& dst);

// Runs every operation of the type that data names on the objects it
// describes (operations_case.cpp); "" when all is as the model says.
std::string run_operations(const uint8_t* data, size_t size);

// "" when the object equals the image, else the first differing byte.
std::string first_difference(const void* obj, const Bytes& image);

// The recorded platform calls, without the queries for N, as "npd(6) uid".
std::string call_trace();

inline Bytes snapshot(const void* p, uint64_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  return Bytes(b, b + n);
}
template <typename V>
V get(const void* p, uint64_t at) {
  V v;
  std::memcpy(&v, static_cast<const unsigned char*>(p) + at, sizeof v);
  return v;
}
template <typename V>
void put(void* p, uint64_t at, V v) {
  std::memcpy(static_cast<unsigned char*>(p) + at, &v, sizeof v);
}

}  // namespace zim_test
