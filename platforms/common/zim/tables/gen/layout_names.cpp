#include "layout_names.hpp"

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

std::string type_prefix(const Definition& def) { return "ZIM_" + upper(def.name) + "_"; }

std::string field_prefix(const Definition& def, size_t index) {
  return type_prefix(def) + "FIELD_" + upper(field_label(def.fields[index], index)) + "_";
}

std::vector<HeaderName> header_names(const Definition& def) {
  const std::string t = type_prefix(def);
  const std::string u = upper(def.name);
  const int table = def.lines.table;
  std::vector<HeaderName> names;
  for (const std::string& id :
       {"ZIM_TABLES_" + u + "_H", "ZIM_TABLE_ID_" + u, "ZIM_FIXED_SIZE_" + u,
        t + "NUM_HEADER_FIELDS", t + "NUM_FIELDS", t + "FLAGS_AREA_OFFSET",
        t + "NPD_PRESENT_OFFSET", t + "DYNAMIC_OFFSET", t + "OBJECT_SIZE", t + "HEADER_FIELDS",
        t + "INLINE_FIELDS", t + "ARRAY_FIELDS", t + "COUNT_OFFSET" /* 0 without a count */}) {
    names.push_back({id, table});
  }
  for (size_t i = 0; i < def.header.size(); ++i) {
    for (const char* what : {"_OFFSET", "_WIDTH"}) {
      names.push_back({t + "HEADER_" + std::to_string(i) + what, table});
    }
  }
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const std::string f = field_prefix(def, i);
    const int line = def.fields[i].line;
    if (def.fields[i].is_array()) {
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

}  // namespace tablegen
