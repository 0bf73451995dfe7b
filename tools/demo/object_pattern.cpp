#include "object_pattern.hpp"

#include <cstring>

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

const unsigned char* pointer_at(const unsigned char* obj, uint32_t offset) {
  return reinterpret_cast<const unsigned char*>(field<uintptr_t>(obj, offset));
}

uint32_t array_length(const TableType& type, const FieldItem& f, const unsigned char* obj) {
  if (f.kind == ItemKind::kPerNpuArray) return hulcon_config_get_max_num_npus();
  return field<uint32_t>(obj, type.count_field);
}

// Element bytes of array item i live at places far above any fixed-part offset.
uint64_t array_place(size_t item, uint64_t k) { return (uint64_t{item} + 1) << 32 | k; }
uint64_t flag_place(size_t item, uint64_t k) { return (uint64_t{item} + 1) << 32 | 1u << 31 | k; }

// Calls visit(address, expected byte) for every byte the pattern covers.
template <typename Obj, typename Visit>
bool for_each_patterned_byte(const TableType& type, Obj* obj, uint32_t seed, Visit&& visit) {
  auto* base = reinterpret_cast<const unsigned char*>(obj);
  for (uint32_t h = 0; h < type.header_count; ++h) {
    const auto& f = type.header[h];
    if (f.offset == type.count_field) continue;
    for (uint32_t k = 0; k < f.width; ++k) {
      if (!visit(f.offset + k, pattern(seed, f.offset + k))) return false;
    }
  }
  for (uint32_t i = 0; i < type.field_count; ++i) {
    const FieldItem& f = type.fields[i];
    if (f.kind == ItemKind::kInlineRun) {
      for (uint32_t k = 0; k < f.width * f.repeat; ++k) {
        if (!visit(f.offset + k, pattern(seed, f.offset + k))) return false;
      }
      for (uint32_t k = 0; k < f.repeat; ++k) {
        if (!visit(f.flag_at + k, pattern(seed, f.flag_at + k))) return false;
      }
      continue;
    }
    const uint64_t length = array_length(type, f, base);
    const unsigned char* data = pointer_at(base, f.offset);
    const unsigned char* flags = pointer_at(base, f.flag_at);
    if (length == 0) continue;
    for (uint64_t k = 0; k < length * f.width; ++k) {
      if (!visit(data - base + k, pattern(seed, array_place(i, k)))) return false;
    }
    for (uint64_t k = 0; k < length; ++k) {
      if (!visit(flags - base + k, pattern(seed, flag_place(i, k)))) return false;
    }
  }
  return true;
}

}  // namespace

uint32_t total_size(const void* obj) { return field<uint32_t>(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET); }

void fill_object(const TableType& type, void* obj, uint32_t seed) {
  auto* bytes = static_cast<unsigned char*>(obj);
  for_each_patterned_byte(type, bytes, seed, [&](uint64_t at, uint8_t value) {
    bytes[at] = value;
    return true;
  });
}

std::string check_object(const TableType& type, const void* obj, uint32_t seed, uint32_t count) {
  const auto* bytes = static_cast<const unsigned char*>(obj);
  const uint32_t size = total_size(obj);
  if (field<uint16_t>(bytes, ZIM_OBJ_TABLE_ID_OFFSET) != type.table_id) return "wrong table_id";
  if (type.takes_count() && field<uint32_t>(bytes, type.count_field) != count) {
    return "count field holds " + std::to_string(field<uint32_t>(bytes, type.count_field)) +
           ", expected " + std::to_string(count);
  }
  for (uint32_t i = 0; i < type.field_count; ++i) {
    const FieldItem& f = type.fields[i];
    if (f.kind == ItemKind::kInlineRun || array_length(type, f, bytes) == 0) continue;
    for (uint32_t at : {f.offset, f.flag_at}) {
      const unsigned char* p = pointer_at(bytes, at);
      if (p < bytes + type.fixed_size || p > bytes + size) {
        return "pointer at byte " + std::to_string(at) + " leaves the object";
      }
    }
  }
  std::string error;
  for_each_patterned_byte(type, bytes, seed, [&](uint64_t at, uint8_t value) {
    if (at >= size) {
      error = "byte " + std::to_string(at) + " lies beyond total_obj_size";
      return false;
    }
    if (bytes[at] != value) {
      error = "byte " + std::to_string(at) + " holds " + std::to_string(bytes[at]) + ", expected " +
              std::to_string(value);
      return false;
    }
    return true;
  });
  return error;
}

}  // namespace zim_demo
