// SPDX-License-Identifier: Apache-2.0
// The layout model: a table type's layout as every reader of it sees it, from
// the plain records its objects are made of (shape.hpp) to the facts that
// follow from them (flags, the dynamic order, the checks of its unit). The
// generator plans it from a definition; the runtime reads it back from a
// layout record (layout_record.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/item_syntax.hpp"
#include "codec/shape.hpp"

namespace zim_codec {

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
  std::string name;   // optional; unnamed fields are known by their number
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

// A data field as its definition gives it, and where its presence flags lie:
// for an inline run its first flag, for an array its flag pointer.
struct FieldLayout : FieldItem {
  uint32_t flag_at = 0;
};

// One step of the data copy and the pointer layout, in field order. Adjacent
// inline fields with no gap between them form one span: their bytes move in
// one block and their presence flags (also adjacent) in the next.
struct DataStep {
  ItemKind kind = ItemKind::kInline;
  uint32_t offset = 0;   // inline: first byte; array: data pointer
  uint32_t bytes = 0;    // inline: length of the span; array: element size
  uint32_t flag_at = 0;  // inline: first presence flag; array: flag pointer
  uint32_t flags = 0;    // inline: number of presence flags; array: 8
  std::string items;     // the definition's items behind this step
};

// Where a check of the unit reports a failure: its line in the unit path and
// the prototype of the operation that owns it. Line 0: the type has no such
// check.
struct CheckSite {
  uint32_t line = 0;
  std::string prototype;
};

struct CheckSites {
  CheckSite fix_ptrs;  // the fix-up's end-of-object check
  CheckSite size_ptr;  // the null size-pointer check
  CheckSite alloc;     // the allocator's null-object check
};

// The facts (TypeFacts) are the definition's, with the lines of the source
// they were read from: a definition's, or a manifest's for a layout read back.
struct TypeLayout : TypeFacts {
  std::vector<FieldLayout> fields;  // layout order, with their flags placed

  // What follows from the facts.
  uint32_t npd_present = 0;       // the byte after the presence flags
  std::vector<uint32_t> dynamic;  // data pointers, in the order arrays fill the dynamic area
  CheckSites checks;

  // What only the generator plans for its units; empty in a layout the
  // runtime reads from a record.
  std::vector<DataStep> data_steps;  // the data copy and the pointer layout
  std::string unit_path;             // the path the unit's reports name

  // A definition's canonical form (emit_definition), filled by the loader
  // for --compat to tell an edit of comments from no change; empty for a
  // layout read from a manifest.
  std::string canonical_text;
};

}  // namespace zim_codec
