// SPDX-License-Identifier: Apache-2.0
// Objects for the inspector's tests: real ones from the library's
// constructors, and hand-made layouts and fixed parts no definition could
// have: the decoder must hold for any layout.
#ifndef ZIM_TESTS_INSPECT_OBJECTS_HPP
#define ZIM_TESTS_INSPECT_OBJECTS_HPP

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "decode.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "zim/tables/all_tables.h"
#include "zim/tables/catalogue.hpp"

namespace cat = zim_tables::catalogue;
using zim_codec::ItemKind;
using zim_inspect::Json;
using zim_inspect::Sizing;
using zim_inspect::TypeLayout;
using Bytes = std::vector<unsigned char>;

inline const std::vector<TypeLayout>& layouts() {
  static tablegen::Diagnostics diags;
  static const auto all =
      tablegen::load_layouts(ZIM_MANIFEST, diags).value_or(std::vector<TypeLayout>{});
  return all;
}

inline Sizing platform_sizing(uint32_t table_id) {
  return {hulcon_config_get_max_num_npus(), qor_npd_get_table_size(table_id), 0};
}

// A copy elsewhere of a fresh object: its pointers still name the freed original.
inline Bytes real_object(uint32_t table_id, uint32_t count) {
  auto* obj = static_cast<unsigned char*>(cat::types[table_id].ops.srv_ctor(count));
  uint32_t size;
  std::memcpy(&size, obj + ZIM_OBJ_TOTAL_SIZE_OFFSET, 4);
  const Bytes b(obj, obj + size);
  std::free(obj);
  return b;
}
template <typename V>
inline void put(Bytes& b, uint64_t at, V v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

inline Bytes fixed_part(uint32_t count, size_t size = 296) {
  Bytes b(296, 0);
  b[ZIM_OBJ_ALLOC_STATE_OFFSET] = 1;
  put<uint32_t>(b, 200, count);
  b.resize(size);
  return b;
}

// A layout no definition could have: the decoder must hold for any layout,
// not only for those the manifest reader accepts.
inline TypeLayout hand_made(const std::string& name, std::vector<zim_codec::FieldLayout> fields,
                            uint32_t fixed_size = 296, std::optional<uint32_t> count_field = 200,
                            uint32_t npd_present = 290) {
  TypeLayout t;
  t.name = name;
  t.type_class = zim_codec::TypeClass::kCounted;
  t.fixed_size = fixed_size;
  t.count_field = count_field;
  t.size_check = true;
  t.header = {{192, 4}, {196, 4}, {200, 4}};
  t.fields = std::move(fields);
  t.npd_present = npd_present;
  return t;
}

// For count 0xffffffff the placement of two counted arrays of 4294967295-byte
// elements saturates, and the flags of the per-NPU one after them once seemed
// to fit in 296 bytes.
inline const TypeLayout kSaturating =
    hand_made("huge", {{{{ItemKind::kCountedArray, 232, 0xffffffff, 1}, ""}, 272},
                       {{{ItemKind::kCountedArray, 240, 0xffffffff, 1}, ""}, 280},
                       {{{ItemKind::kPerNpuArray, 248, 1048576, 1}, ""}, 256}});

#endif  // ZIM_TESTS_INSPECT_OBJECTS_HPP
