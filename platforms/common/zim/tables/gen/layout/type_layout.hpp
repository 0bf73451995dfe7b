// SPDX-License-Identifier: Apache-2.0
// The layout of one table type: the one record that every back end reads.
//
// The planner computes it once from a validated definition (plan.hpp); the
// manifest reader rebuilds the same record from a manifest and checks it
// against the planner's. Emitters, the manifest writer, --compat and the
// inspector read it as it is and derive nothing of their own.
#pragma once

#include <cstdint>
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

// The facts (TypeFacts) are the definition's, with the lines of the source
// they were read from: a definition's, or a manifest's for a layout read back.
struct TypeLayout : TypeFacts {
  std::vector<FieldLayout> fields;  // layout order, with their flags placed

  // What follows from the facts.
  uint32_t npd_present = 0;          // the byte after the presence flags
  std::vector<uint32_t> dynamic;     // data pointers, in the order arrays fill the dynamic area
  std::vector<DataStep> data_steps;  // the data copy and the pointer layout
  CheckSites checks;
  std::string unit_path;  // the path the unit's reports name

  // A definition's canonical form (emit_definition), filled by the loader
  // for --compat to tell an edit of comments from no change; empty for a
  // layout read from a manifest.
  std::string canonical_text;
};

}  // namespace tablegen
