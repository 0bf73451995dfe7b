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

#include "gen/read/field_shape.hpp"
#include "gen/text/item_syntax.hpp"

namespace tablegen {

// The word a definition's `class` line uses for each class.
inline constexpr std::array<std::pair<TypeClass, const char*>, 5> kClassKeywords{{
    {TypeClass::kFixed, "fixed"},
    {TypeClass::kSizeChecked, "size_checked"},
    {TypeClass::kPerNpu, "per_npu"},
    {TypeClass::kCounted, "counted"},
    {TypeClass::kCountOnly, "count_only"},
}};
static_assert(kClassKeywords.size() == static_cast<size_t>(TypeClass::kCountOnly) + 1);

inline const char* class_keyword(TypeClass c) {
  for (const auto& [cls, word] : kClassKeywords) {
    if (cls == c) return word;
  }
  return "?";
}

// A data field as its definition writes it.
struct FieldItem : FieldShape {
  std::string name;  // optional; unnamed fields are known by their number
  std::string was{};  // the name the field had before, for migrating objects; needs a name
  int line = 0;
  // False for an item written without "off:": layout resolution places it.
  bool offset_given = true;
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

// The line of the source (a definition or a manifest) that states each fact,
// for messages about it; 0: not written. A definition that leaves out
// fixed_size or flags_at has them derived; the planner then places their
// lines, and those of the facts only a layout states, where the type begins.
struct FactLines {
  int table = 0, id = 0, type_class = 0, fixed_size = 0, header = 0, flags_at = 0, count_field = 0,
      size_check = 0, obj_flags_bit5 = 0, wisp = 0;
  int npd_present = 0;  // a manifest's npd_present line; a definition's flags_at
  int checks = 0;       // a manifest's last check line
};

// Where a type comes from and what its definition states about it: the part
// a Definition and the TypeLayout planned from it share.
struct TypeFacts {
  std::string path;       // the definition or manifest, as given, for messages
  std::string file_name;  // the definition's base name, e.g. 000_test_if.tdef
  uint32_t table_id = 0;
  std::string name;
  TypeClass type_class = TypeClass::kFixed;
  uint32_t fixed_size = 0;
  std::vector<HeaderField> header;  // copy order
  uint32_t flags_at = 0;            // first byte of the presence-flag area
  std::optional<uint32_t> count_field;
  bool size_check = false;
  bool sets_obj_flags_bit5 = false;
  std::array<uint32_t, 6> wisp{};  // the six trace identifiers
  FactLines lines;
};

// The comments and blank lines of a definition, kept for its canonical form.
// Text is kept from '#' to the end of the line; "" stands for a blank line.
struct SourceComments {
  std::vector<std::string> top;                    // before the first key line
  std::map<int, std::vector<std::string>> before;  // by the line of the key they precede
  std::map<int, std::string> trailing;             // by the line they end
  std::vector<std::string> bottom;                 // after the last key line
};

struct Definition : TypeFacts {
  std::string text;               // the file as read, for --format --write to compare
  std::vector<FieldItem> fields;  // layout order
  SourceComments comments;
};

}  // namespace tablegen
