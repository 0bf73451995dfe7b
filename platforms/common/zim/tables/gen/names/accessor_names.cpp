// SPDX-License-Identifier: Apache-2.0
#include "gen/names/accessor_names.hpp"

#include "gen/names/names.hpp"

namespace tablegen {

std::string accessor_token(const FieldItem& item, size_t index) {
  return item.name.empty() ? "field_" + std::to_string(index) : item.name;
}

std::string snapshot_name(const std::string& type) { return "zim_" + type + "_snapshot"; }

namespace {

// zim_<type>_<verb><field>, and zim_<type>_<field>_length for an array.
constexpr const char* kVerbs[] = {"get_", "set_", "has_", "clear_"};
constexpr const char* kLength = "_length";

}  // namespace

AccessorNames accessor_names(const std::string& type, const FieldItem& item, size_t index) {
  const std::string t = "zim_" + type + "_";
  const std::string f = accessor_token(item, index);
  return {t + kVerbs[0] + f, t + kVerbs[1] + f, t + kVerbs[2] + f, t + kVerbs[3] + f,
          item.is_array() ? t + f + kLength : ""};
}

// The accessors' names made in one buffer: this runs over every field of
// every type of a catalogue, several times.
void for_each_function_name(const Definition& def, const NameVisit& visit) {
  for (const Operation& op : kOperations) visit(operation_name(op, def.name), def.lines.table);
  visit(snapshot_name(def.name), def.lines.table);
  std::string id = "zim_" + def.name + "_";
  const size_t type_part = id.size();
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& item = def.fields[i];
    const std::string token = accessor_token(item, i);
    for (const char* verb : kVerbs) {
      id.resize(type_part);
      visit(id.append(verb).append(token), item.line);
    }
    if (!item.is_array()) continue;
    id.resize(type_part);
    visit(id.append(token).append(kLength), item.line);
  }
}

}  // namespace tablegen
