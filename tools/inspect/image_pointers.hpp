// SPDX-License-Identifier: Apache-2.0
// An image holds array pointers relative to their object's first byte: a
// pool is mapped anywhere, and a saved object's pointers were laid out for
// its owner's mapping, which nothing else knows. They are laid out afresh
// from the object's layout record and count, never read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

#include "codec/model.hpp"
#include "migrate/object_placement.hpp"

namespace zim_inspect {

class RelativePointers {
 public:
  // The layout of table_id, from its record's text, for N and its NPD size;
  // false (and its objects left as they are) when the text is not one.
  bool add(uint32_t table_id, std::string_view record, uint32_t npus, uint32_t npd_size);
  // Lays the pointers of obj (size bytes, of table_id) out relative to its
  // first byte; an object of a table id without a layout is left as it is.
  void lay_out(uint32_t table_id, unsigned char* obj, uint64_t size) const;

 private:
  struct Type {
    zim_codec::TypeLayout layout;
    zim_objects::Placement placement;
  };
  std::map<uint32_t, Type> types_;
};

}  // namespace zim_inspect
