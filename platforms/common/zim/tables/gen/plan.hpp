// What the emitters need for one type: its copy steps, its counts, the lines
// of its three checks and every name and text of its unit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "definition.hpp"

namespace tablegen {

// One step of the data copy and the pointer layout, in field order. Adjacent
// inline fields with no gap between them form one span: their bytes move in
// one block and their presence flags (also adjacent) in the next.
struct DataStep {
  ItemKind kind = ItemKind::kInline;
  uint32_t offset = 0;       // inline: first byte; array: data pointer
  uint32_t bytes = 0;        // inline: length of the span; array: element size
  uint32_t flag_offset = 0;  // inline: first presence flag; array: flag pointer
  uint32_t flags = 0;        // inline: number of presence flags; array: 8
  std::string items;         // the definition's items behind this step
};

struct CheckLines {
  uint32_t fix_ptrs = 0;  // 0: the type has no fix-up check
  uint32_t size_ptr = 0;
  uint32_t alloc = 0;
};

struct TypePlan {
  const Definition* def = nullptr;
  std::vector<DataStep> steps;
  std::vector<uint32_t> item_flag_at;  // per field item, for the catalogue
  uint32_t npd_present = 0;

  // Counts that place the checks: data fields, header fields, per-NPU and
  // counted array fields, and 1 when all six trace identifiers differ.
  uint32_t n = 0, h = 0, nn = 0, nc = 0, d = 0;
  CheckLines lines;

  std::string unit_path;
  std::string fix_ptrs_prototype;  // empty without the size check
  std::string size_ptr_prototype;
  std::string alloc_prototype;
};

TypePlan plan_type(const Definition& def);

// An item as the definition writes it: "216:32x3", "400:8xN".
std::string item_text(const FieldItem& item);

}  // namespace tablegen
