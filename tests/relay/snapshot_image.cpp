// SPDX-License-Identifier: Apache-2.0
#include "snapshot_image.hpp"

#include <zim/tables/table_object.h>

#include <cstdint>
#include <cstring>

namespace zim_relay_test {

std::string snapshot_image(const zim_tables::catalogue::TableType& type, void* obj) {
  auto* copy = static_cast<unsigned char*>(type.snapshot(obj));
  if (copy == nullptr) return "";
  uint32_t size;
  std::memcpy(&size, copy + ZIM_OBJ_TOTAL_SIZE_OFFSET, 4);
  std::string image(reinterpret_cast<char*>(copy), size);
  for (uint32_t f = 0; f < type.field_count; ++f) {
    const zim_tables::catalogue::FieldItem& item = type.fields[f];
    if (!item.is_array()) continue;
    for (const uint32_t slot : {item.offset, item.flag_at}) {
      uint64_t pointer;
      std::memcpy(&pointer, copy + slot, 8);
      if (pointer != 0) pointer -= reinterpret_cast<uintptr_t>(copy);
      image.replace(slot, 8, reinterpret_cast<const char*>(&pointer), 8);
    }
  }
  type.ops.clnt_copy_dtor(copy);
  return image;
}

}  // namespace zim_relay_test
