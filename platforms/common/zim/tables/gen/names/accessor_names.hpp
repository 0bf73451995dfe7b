// SPDX-License-Identifier: Apache-2.0
// Names of the accessor functions in a type's generated header. A field is
// known by its name, or as field_<n> by its number in definition order.
#pragma once

#include <string>
#include <vector>

#include "gen/names/constant_names.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// "bar" for a field named bar, "field_2" for an unnamed third field.
std::string accessor_token(const FieldItem& item, size_t index);

struct AccessorNames {
  std::string get, set, has, clear;
  std::string length;  // arrays only
};
AccessorNames accessor_names(const std::string& type, const FieldItem& item, size_t index);

// zim_<type>_snapshot, defined in the type's header beside the accessors.
std::string snapshot_name(const std::string& type);

// Every function that the type's header declares: its operations and its
// snapshot (at the type's line) and its fields' accessors (at each field's line). The
// validator refuses a catalogue in which two of them share a name.
void for_each_function_name(const Definition& def, const NameVisit& visit);

}  // namespace tablegen
