// SPDX-License-Identifier: Apache-2.0
// The layout of one table type: the one record that every back end reads.
//
// The planner computes it once from a validated definition (plan.hpp); the
// manifest reader rebuilds the same record from a manifest and checks it
// against the planner's. Emitters, the manifest writer, --compat and the
// inspector read it as it is and derive nothing of their own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gen/read/definition.hpp"

namespace tablegen {

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

// The line of the source (a definition or a manifest) that states each fact,
// for messages about it.
struct FactLines {
  int table = 0, id = 0, type_class = 0, fixed_size = 0, count_field = 0, size_check = 0,
      obj_flags_bit5 = 0, header = 0, npd_present = 0, checks = 0, wisp = 0;
};

struct TypeLayout {
  // Where it comes from.
  std::string path;       // the definition or manifest, as given, for messages
  std::string file_name;  // the definition's base name, e.g. 000_test_if.tdef
  std::string text;       // a definition's text, to tell edits that change no layout
  FactLines lines;

  // What the definition states, validated.
  uint32_t table_id = 0;
  std::string name;
  TypeClass type_class = TypeClass::kFixed;
  uint32_t fixed_size = 0;
  std::optional<uint32_t> count_field;
  bool size_check = false;
  bool sets_obj_flags_bit5 = false;
  std::array<uint32_t, 6> wisp{};
  std::vector<HeaderField> header;  // copy order
  std::vector<FieldLayout> fields;  // layout order, with their flags placed

  // What follows from it.
  uint32_t flags_at = 0;             // first byte of the presence-flag area
  uint32_t npd_present = 0;          // the byte after the presence flags
  std::vector<uint32_t> dynamic;     // data pointers, in the order arrays fill the dynamic area
  std::vector<DataStep> data_steps;  // the data copy and the pointer layout
  CheckSites checks;
  std::string unit_path;  // the path the unit's reports name
};

}  // namespace tablegen
