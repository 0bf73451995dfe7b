// The layout manifest: every type's layout as processes sharing its objects
// see it, one readable line per fact, so that a layout change shows as a
// diff in review and two catalogues can be compared type by type.
//
// A TypeLayout comes either from a planned definition or from a manifest file
// read back; each fact keeps the line it came from, for messages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "definition.hpp"
#include "diagnostics.hpp"
#include "plan.hpp"

namespace tablegen {

struct LayoutField {
  ItemKind kind = ItemKind::kInline;
  uint32_t offset = 0;   // inline: first byte; array: data pointer
  uint32_t width = 0;    // inline: bytes per field; array: element size
  uint32_t repeat = 1;   // inline: fields in the run
  uint32_t flag_at = 0;  // inline: first presence flag; array: flag pointer
  std::string name;      // empty for an unnamed field
  int line = 0;
};

struct TypeLayout {
  std::string path;  // the definition or manifest it was read from
  std::string text;  // a definition's text; empty when read from a manifest
  uint32_t table_id = 0;
  std::string name;
  TypeClass type_class = TypeClass::kFixed;
  uint32_t fixed_size = 0;
  std::optional<uint32_t> count_field;
  bool size_check = false;
  bool sets_obj_flags_bit5 = false;
  std::vector<HeaderField> header;  // copy order
  std::vector<LayoutField> fields;  // layout order
  uint32_t npd_present = 0;
  CheckLines checks;
  std::string fix_ptrs_prototype, size_ptr_prototype, alloc_prototype;
  std::array<uint32_t, 6> wisp{};
  KeyLines lines;  // flags_at: the npd_present line of a manifest
  int checks_line = 0;
};

TypeLayout layout_of(const TypePlan& plan);

// The manifest text of a catalogue, in table-id order.
std::string manifest_text(const std::vector<TypeLayout>& layouts);

// Reads a manifest back; reports what is malformed and returns nothing then.
std::optional<std::vector<TypeLayout>> read_manifest(const std::string& path,
                                                     const std::string& text, Diagnostics& diags);

}  // namespace tablegen
