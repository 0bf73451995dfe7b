// SPDX-License-Identifier: Apache-2.0
#include "gen/names/constant_names.hpp"

#include <algorithm>

namespace tablegen {

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return text;
}

bool valid_field_name(const std::string& name) {
  if (name.empty() || name.size() > kMaxFieldName || name[0] < 'a' || name[0] > 'z') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

std::string field_label(const FieldItem& item, size_t index) {
  return item.name.empty() ? std::to_string(index) : item.name;
}

std::string type_prefix(const std::string& type) { return "ZIM_" + upper(type) + "_"; }

std::string field_prefix(const std::string& type, const FieldItem& item, size_t index) {
  return type_prefix(type) + "FIELD_" + upper(field_label(item, index)) + "_";
}

namespace {

// Over a definition's field items or a layout's fields alike.
template <class Field>
std::vector<HeaderName> names_of(const std::string& type, size_t header_fields, int type_line,
                                 const std::vector<Field>& fields) {
  const std::string t = type_prefix(type);
  const std::string u = upper(type);
  std::vector<HeaderName> names;
  for (const std::string& id :
       {"ZIM_TABLES_" + u + "_H", "ZIM_TABLE_ID_" + u, "ZIM_FIXED_SIZE_" + u,
        t + "NUM_HEADER_FIELDS", t + "NUM_FIELDS", t + "FLAGS_AREA_OFFSET",
        t + "NPD_PRESENT_OFFSET", t + "DYNAMIC_OFFSET", t + "OBJECT_SIZE", t + "HEADER_FIELDS",
        t + "INLINE_FIELDS", t + "ARRAY_FIELDS", t + "COUNT_OFFSET" /* 0 without a count */}) {
    names.push_back({id, type_line});
  }
  for (size_t i = 0; i < header_fields; ++i) {
    for (const char* what : {"_OFFSET", "_WIDTH"}) {
      names.push_back({t + "HEADER_" + std::to_string(i) + what, type_line});
    }
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string f = field_prefix(type, fields[i], i);
    const int line = fields[i].line;
    if (fields[i].is_array()) {
      for (const char* what :
           {"PTR", "FLAGS_PTR", "ELEM_SIZE", "KIND", "STORAGE_OFFSET", "FLAGS_OFFSET"}) {
        names.push_back({f + what, line});
      }
    } else {
      for (const char* what : {"OFFSET", "WIDTH", "RUN", "FLAG"}) names.push_back({f + what, line});
    }
  }
  return names;
}

}  // namespace

std::vector<HeaderName> header_names(const Definition& def) {
  return names_of(def.name, def.header.size(), def.lines.table, def.fields);
}

std::vector<HeaderName> header_names(const TypeLayout& type) {
  return names_of(type.name, type.header.size(), type.lines.table, type.fields);
}

}  // namespace tablegen
