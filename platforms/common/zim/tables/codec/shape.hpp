// SPDX-License-Identifier: Apache-2.0
// The plain records a type's layout is made of: its class, its header fields
// and the bytes of each data field. They hold no allocation, so the tools'
// catalogue (tools/catalogue/include/zim/tables/catalogue.hpp) builds its
// constant tables from the same records the generator plans and the runtime
// reads.
#pragma once

#include <cstdint>

namespace zim_codec {

enum class TypeClass { kFixed, kSizeChecked, kPerNpu, kCounted, kCountOnly };

enum class ItemKind {
  kInline,        // off:w or off:wxn
  kPerNpuArray,   // off:exN
  kCountedArray,  // off:exC
};

struct HeaderField {
  uint32_t offset = 0;
  uint32_t width = 0;
};

// Where a data field lies in the fixed part and how many bytes it takes.
struct FieldShape {
  ItemKind kind = ItemKind::kInline;
  uint32_t offset = 0;      // inline: first byte; array: data pointer
  uint32_t width = 0;       // inline: bytes per field; array: element size
  uint32_t run_length = 1;  // inline runs: number of fields; arrays: 1

  // First byte after the field's bytes in the fixed part; exact for any
  // 32-bit values.
  constexpr uint64_t end() const {
    return uint64_t{offset} + (kind == ItemKind::kInline ? uint64_t{width} * run_length : 8);
  }
  constexpr bool is_array() const { return kind != ItemKind::kInline; }
};

}  // namespace zim_codec
