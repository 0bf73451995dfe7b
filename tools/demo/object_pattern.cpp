// SPDX-License-Identifier: Apache-2.0
#include "object_pattern.hpp"

#include <cstring>
#include <vector>

#include "zim/tables/table_object.h"

namespace zim_demo {
namespace {

using zim_tables::catalogue::FieldItem;
using zim_tables::catalogue::ItemKind;

// Never zero, so that a byte the copy forgot stands out against calloc's zero.
uint8_t pattern(uint32_t seed, uint64_t place) {
  uint64_t x = (uint64_t{seed} + 1) * 0x9E3779B97F4A7C15ull ^ (place + 1) * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 32;
  return static_cast<uint8_t>(x % 255 + 1);
}

// The value of element k of field i: its width of patterned bytes, at places
// far above any fixed-part offset, where the type header's bytes are.
std::vector<unsigned char> value_of(uint32_t seed, uint32_t field, uint32_t k, uint32_t width) {
  std::vector<unsigned char> value(width);
  const uint64_t base = (uint64_t{field} + 1) << 32 | uint64_t{k} * width;
  for (uint32_t b = 0; b < width; ++b) value[b] = pattern(seed, base + b);
  return value;
}

const unsigned char* pointer_at(const unsigned char* obj, uint32_t offset) {
  return reinterpret_cast<const unsigned char*>(field<uintptr_t>(obj, offset));
}

}  // namespace

uint32_t total_size(const void* obj) { return field<uint32_t>(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET); }

// The type header by its bytes (it has no accessors: the copies move it
// whole), the data fields through their accessors, flags and all.
void fill_object(const TableType& type, void* obj, uint32_t seed) {
  auto* bytes = static_cast<unsigned char*>(obj);
  for (uint32_t h = 0; h < type.header_count; ++h) {
    const auto& f = type.header[h];
    if (f.offset == type.count_field) continue;
    for (uint32_t k = 0; k < f.width; ++k) bytes[f.offset + k] = pattern(seed, f.offset + k);
  }
  for (uint32_t i = 0; i < type.field_count; ++i) {
    const FieldItem& f = type.fields[i];
    for (uint32_t k = 0; k < f.access.length(obj); ++k) {
      f.access.set(obj, k, value_of(seed, i, k, f.width).data());
    }
  }
}

std::string check_object(const TableType& type, const void* obj, uint32_t seed, uint32_t count) {
  const auto* bytes = static_cast<const unsigned char*>(obj);
  void* object = const_cast<void*>(obj);  // the accessors take no const object
  const uint32_t size = total_size(obj);
  if (field<uint16_t>(bytes, ZIM_OBJ_TABLE_ID_OFFSET) != type.table_id) return "wrong table_id";
  if (type.takes_count() && field<uint32_t>(bytes, type.count_field) != count) {
    return "count field holds " + std::to_string(field<uint32_t>(bytes, type.count_field)) +
           ", expected " + std::to_string(count);
  }
  for (uint32_t h = 0; h < type.header_count; ++h) {
    const auto& f = type.header[h];
    if (f.offset == type.count_field) continue;
    for (uint32_t k = 0; k < f.width; ++k) {
      if (bytes[f.offset + k] != pattern(seed, f.offset + k)) {
        return "type header byte " + std::to_string(f.offset + k) + " differs";
      }
    }
  }
  for (uint32_t i = 0; i < type.field_count; ++i) {
    const FieldItem& f = type.fields[i];
    const uint32_t length = f.access.length(object);
    if (f.kind != ItemKind::kInline && length != 0) {
      for (uint32_t at : {f.offset, f.flag_at}) {
        const unsigned char* p = pointer_at(bytes, at);
        if (p < bytes + type.fixed_size || p > bytes + size) {
          return "pointer at byte " + std::to_string(at) + " leaves the object";
        }
      }
    }
    std::vector<unsigned char> held(f.width);
    for (uint32_t k = 0; k < length; ++k) {
      f.access.get(object, k, held.data());
      if (!f.access.has(object, k) || held != value_of(seed, i, k, f.width)) {
        return std::string("field ") + f.name + " [" + std::to_string(k) + "] differs";
      }
    }
  }
  return {};
}

}  // namespace zim_demo
