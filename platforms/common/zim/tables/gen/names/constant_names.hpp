// SPDX-License-Identifier: Apache-2.0
// Names of the constants in a type's generated header. A field is known by
// its name when its definition gives one, else by its number in definition
// order; its constants are ZIM_<TYPE>_FIELD_<NAME or NUMBER>_*.
#pragma once

#include <string>
#include <vector>

#include "gen/read/definition.hpp"
#include "gen/layout/type_layout.hpp"

namespace tablegen {

std::string upper(std::string text);

// A field name: a lowercase C identifier of at most kMaxFieldName characters.
inline constexpr size_t kMaxFieldName = 48;
bool valid_field_name(const std::string& name);

// How a field is shown: its name, or its number in definition order.
std::string field_label(const FieldItem& item, size_t index);

// "ZIM_OLIST_" for olist, "ZIM_OLIST_FIELD_2_" for its third field.
std::string type_prefix(const std::string& type);
std::string field_prefix(const std::string& type, const FieldItem& item, size_t index);

// Every identifier that the type's header defines, with the definition line
// it comes from (a field's, else the type's): the validator refuses a
// catalogue whose names would collide before anything is generated, and the
// header emitter confirms that it defines exactly these.
struct HeaderName {
  std::string id;
  int line;
};
std::vector<HeaderName> header_names(const Definition& def);
std::vector<HeaderName> header_names(const TypeLayout& type);

}  // namespace tablegen
