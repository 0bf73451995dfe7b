// SPDX-License-Identifier: Apache-2.0
// Names of the constants in a type's generated header. A field is known by
// its name when its definition gives one, else by its number in definition
// order; its constants are ZIM_<TYPE>_FIELD_<NAME or NUMBER>_*.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gen/names/names.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// How a field is shown: its name, or its number in definition order.
std::string field_label(const FieldItem& item, size_t index);

// "ZIM_OLIST_" for olist, "ZIM_OLIST_FIELD_2_" for its third field.
std::string type_prefix(const std::string& type);
std::string field_prefix(const std::string& type, const FieldItem& item, size_t index);

// The constants of a type's header, each by the key that its templates know
// it by and its name: {"OBJECT_SIZE", "ZIM_OLIST_OBJECT_SIZE"}, and
// {"GUARD", "ZIM_TABLES_OLIST_H"}, {"TABLE_ID", "ZIM_TABLE_ID_OLIST"} and
// {"FIXED_SIZE", "ZIM_FIXED_SIZE_OLIST"}. The header is written from these
// alone, and the validator judges clashes by them.
using Constants = std::vector<std::pair<std::string, std::string>>;
Constants type_constants(const std::string& type);
// {"OFFSET", "ZIM_OLIST_HEADER_0_OFFSET"}, WIDTH.
Constants header_field_constants(const std::string& type, size_t index);
// An inline field's OFFSET, WIDTH, RUN and FLAG; an array's PTR, FLAGS_PTR,
// ELEM_SIZE, KIND, STORAGE_OFFSET and FLAGS_OFFSET.
Constants field_constants(const std::string& type, const FieldItem& item, size_t index);

// Every identifier that the type's header defines, with the definition line
// it comes from (a field's, else the type's): the validator refuses a
// catalogue whose names would collide before anything is generated.
struct HeaderName {
  std::string id;
  int line;
};
std::vector<HeaderName> header_names(const Definition& def);
// The same names, each passed to visit as it is made (id lives for the call
// only): the catalogue's checks go through every name of every type.
using NameVisit = std::function<void(std::string_view id, int line)>;
void for_each_header_name(const Definition& def, const NameVisit& visit);

}  // namespace tablegen
