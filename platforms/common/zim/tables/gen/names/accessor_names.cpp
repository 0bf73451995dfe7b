// SPDX-License-Identifier: Apache-2.0
#include "gen/names/accessor_names.hpp"

#include "gen/emit/type_vars.hpp"

namespace tablegen {

std::string accessor_token(const FieldItem& item, size_t index) {
  return item.name.empty() ? "field_" + std::to_string(index) : item.name;
}

std::string snapshot_name(const std::string& type) { return "zim_" + type + "_snapshot"; }

AccessorNames accessor_names(const std::string& type, const FieldItem& item, size_t index) {
  const std::string t = "zim_" + type + "_";
  const std::string f = accessor_token(item, index);
  return {t + "get_" + f, t + "set_" + f, t + "has_" + f, t + "clear_" + f,
          item.is_array() ? t + f + "_length" : ""};
}

std::vector<HeaderName> function_names(const Definition& def) {
  std::vector<HeaderName> names;
  for (const Operation& op : kOperations) {
    names.push_back({operation_name(op, def.name), def.lines.table});
  }
  names.push_back({snapshot_name(def.name), def.lines.table});
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const AccessorNames a = accessor_names(def.name, def.fields[i], i);
    for (const std::string* id : {&a.get, &a.set, &a.has, &a.clear, &a.length}) {
      if (!id->empty()) names.push_back({*id, def.fields[i].line});
    }
  }
  return names;
}

}  // namespace tablegen
