// SPDX-License-Identifier: Apache-2.0
// Plain data read from one table type definition file.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gen/text/item_syntax.hpp"

namespace tablegen {

enum class TypeClass { kFixed, kSizeChecked, kPerNpu, kCounted, kCountOnly };

// The word a definition's `class` line uses for each class.
inline constexpr std::array<std::pair<TypeClass, const char*>, 5> kClassKeywords{{
    {TypeClass::kFixed, "fixed"},
    {TypeClass::kSizeChecked, "size_checked"},
    {TypeClass::kPerNpu, "per_npu"},
    {TypeClass::kCounted, "counted"},
    {TypeClass::kCountOnly, "count_only"},
}};

inline const char* class_keyword(TypeClass c) {
  for (const auto& [cls, word] : kClassKeywords) {
    if (cls == c) return word;
  }
  return "?";
}

enum class ItemKind {
  kInline,        // off:w or off:wxn
  kPerNpuArray,   // off:exN
  kCountedArray,  // off:exC
};

struct HeaderField {
  uint32_t offset = 0;
  uint32_t width = 0;
};

struct FieldItem {
  ItemKind kind = ItemKind::kInline;
  uint32_t offset = 0;
  uint32_t width = 0;       // inline: bytes per field; array: element size
  uint32_t run_length = 1;  // inline runs: number of fields; arrays: 1
  std::string name;         // optional; unnamed fields are known by their number
  int line = 0;
  // False for an item written without "off:": layout resolution places it.
  bool offset_given = true;

  // First byte after the item's bytes in the fixed part; exact for any
  // 32-bit values.
  uint64_t end() const {
    return uint64_t{offset} + (kind == ItemKind::kInline ? uint64_t{width} * run_length : 8);
  }
  bool is_array() const { return kind != ItemKind::kInline; }
};

// An item as a definition writes it: "216:32x3", "400:8xN"; "32x3" while an
// item written without its offset is not yet placed.
inline std::string item_text(const FieldItem& item, bool with_offset = true) {
  const char array = item.kind == ItemKind::kPerNpuArray    ? 'N'
                     : item.kind == ItemKind::kCountedArray ? 'C'
                                                            : '\0';
  return item_spelling(with_offset ? std::optional<uint64_t>(item.offset) : std::nullopt,
                       item.width, array, item.run_length);
}

// A type-header field as a definition writes it: "0:4".
inline std::string item_text(const HeaderField& field) {
  return item_spelling(field.offset, field.width);
}

// Where each key of a definition was written, for error messages.
struct KeyLines {
  int table = 0, id = 0, type_class = 0, fixed_size = 0, header = 0, flags_at = 0, count_field = 0,
      size_check = 0, obj_flags_bit5 = 0, wisp = 0;
};

// The comments and blank lines of a definition, kept for its canonical form.
// Text is kept from '#' to the end of the line; "" stands for a blank line.
struct SourceComments {
  std::vector<std::string> top;                    // before the first key line
  std::map<int, std::vector<std::string>> before;  // by the line of the key they precede
  std::map<int, std::string> trailing;             // by the line they end
  std::vector<std::string> bottom;                 // after the last key line
};

struct Definition {
  std::string path;       // as given on the command line, used in messages
  std::string file_name;  // base name, e.g. 000_test_if.tdef
  std::string text;       // the file as read, to tell edits that change no layout
  std::string name;
  uint32_t table_id = 0;
  TypeClass type_class = TypeClass::kFixed;
  uint32_t fixed_size = 0;
  std::vector<HeaderField> header;  // copy order
  uint32_t flags_at = 0;
  std::optional<uint32_t> count_field;
  bool size_check = false;
  bool sets_obj_flags_bit5 = false;
  std::array<uint32_t, 6> wisp{};
  std::vector<FieldItem> fields;  // layout order
  KeyLines lines;                 // 0: not written (fixed_size and flags_at are then derived)
  SourceComments comments;
};

}  // namespace tablegen
