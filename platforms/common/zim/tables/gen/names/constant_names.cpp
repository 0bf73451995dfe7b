// SPDX-License-Identifier: Apache-2.0
#include "gen/names/constant_names.hpp"

#include <algorithm>
#include <iterator>

namespace tablegen {
namespace {

constexpr const char* kTypeSuffixes[] = {
    "NUM_HEADER_FIELDS", "NUM_FIELDS",  "FLAGS_AREA_OFFSET", "NPD_PRESENT_OFFSET",
    "DYNAMIC_OFFSET",    "OBJECT_SIZE", "HEADER_FIELDS",     "INLINE_FIELDS",
    "ARRAY_FIELDS",      "COUNT_OFFSET" /* 0 without a count */};
constexpr const char* kHeaderFieldSuffixes[] = {"OFFSET", "WIDTH"};
constexpr const char* kInlineSuffixes[] = {"OFFSET", "WIDTH", "RUN", "FLAG"};
constexpr const char* kArraySuffixes[] = {"PTR",  "FLAGS_PTR",      "ELEM_SIZE",
                                          "KIND", "STORAGE_OFFSET", "FLAGS_OFFSET"};

template <size_t N>
void add(Constants& to, const std::string& prefix, const char* const (&suffixes)[N]) {
  for (const char* suffix : suffixes) to.emplace_back(suffix, prefix + suffix);
}

// Each name prefix + suffix to visit, made in one buffer.
template <size_t N>
void visit_each(std::string& id, const std::string& prefix, const char* const (&suffixes)[N],
                int line, const NameVisit& visit) {
  for (const char* suffix : suffixes) {
    id.assign(prefix).append(suffix);
    visit(id, line);
  }
}

std::string header_field_prefix(const std::string& type, size_t index) {
  return type_prefix(type) + "HEADER_" + std::to_string(index) + "_";
}

// A field's prefix after its type's: FIELD_<NAME or NUMBER>_.
std::string& append_field_part(std::string& to, const FieldItem& item, size_t index) {
  to += "FIELD_";
  if (item.name.empty()) to += std::to_string(index);
  for (const char c : item.name) to += upper_letter(c);
  return to += '_';
}

// The type's constants as (key, name), made in one buffer.
using ConstantVisit = std::function<void(const char* key, const std::string& id)>;
void visit_type_constants(const std::string& type, const ConstantVisit& visit) {
  const std::string type_token = upper(type);
  std::string id = header_guard(type);
  visit("GUARD", id);
  visit("TABLE_ID", id.assign("ZIM_TABLE_ID_").append(type_token));
  visit("FIXED_SIZE", id.assign("ZIM_FIXED_SIZE_").append(type_token));
  const std::string prefix = type_prefix(type);
  for (const char* suffix : kTypeSuffixes) visit(suffix, id.assign(prefix).append(suffix));
}

}  // namespace

std::string field_label(const FieldItem& item, size_t index) {
  return item.name.empty() ? std::to_string(index) : item.name;
}

std::string type_prefix(const std::string& type) { return "ZIM_" + upper(type) + "_"; }

std::string field_prefix(const std::string& type, const FieldItem& item, size_t index) {
  std::string prefix = type_prefix(type);
  return append_field_part(prefix, item, index);
}

Constants type_constants(const std::string& type) {
  Constants c;
  c.reserve(3 + std::size(kTypeSuffixes));
  visit_type_constants(type,
                       [&](const char* key, const std::string& id) { c.emplace_back(key, id); });
  return c;
}

Constants header_field_constants(const std::string& type, size_t index) {
  Constants c;
  add(c, header_field_prefix(type, index), kHeaderFieldSuffixes);
  return c;
}

Constants field_constants(const std::string& type, const FieldItem& item, size_t index) {
  Constants c;
  const std::string prefix = field_prefix(type, item, index);
  item.is_array() ? add(c, prefix, kArraySuffixes) : add(c, prefix, kInlineSuffixes);
  return c;
}

void for_each_header_name(const Definition& def, const NameVisit& visit) {
  visit_type_constants(def.name,
                       [&](const char*, const std::string& id) { visit(id, def.lines.table); });
  std::string id, prefix;
  for (size_t i = 0; i < def.header.size(); ++i) {
    visit_each(id, header_field_prefix(def.name, i), kHeaderFieldSuffixes, def.lines.table, visit);
  }
  const std::string type_part = type_prefix(def.name);
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& item = def.fields[i];
    append_field_part(prefix.assign(type_part), item, i);
    item.is_array() ? visit_each(id, prefix, kArraySuffixes, item.line, visit)
                    : visit_each(id, prefix, kInlineSuffixes, item.line, visit);
  }
}

std::vector<HeaderName> header_names(const Definition& def) {
  std::vector<HeaderName> names;
  for_each_header_name(def, [&](std::string_view id, int line) {
    names.push_back({std::string(id), line});
  });
  return names;
}

}  // namespace tablegen
