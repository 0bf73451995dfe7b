// Names of the layout constants in a type's generated header. A field is
// known by its name when its definition gives one, else by its number in
// definition order; its constants are ZIM_<TYPE>_FIELD_<NAME or NUMBER>_*.
#pragma once

#include <string>
#include <vector>

#include "definition.hpp"

namespace tablegen {

std::string upper(std::string text);

// A field name: a lowercase C identifier of at most kMaxFieldName characters.
inline constexpr size_t kMaxFieldName = 48;
bool valid_field_name(const std::string& name);

// How a field is shown: its name, or its number in definition order.
std::string field_label(const FieldItem& item, size_t index);

// "ZIM_OLIST_FIELD_2_" for the third field of olist.
std::string field_prefix(const Definition& def, size_t index);
std::string type_prefix(const Definition& def);  // "ZIM_OLIST_"

// Every identifier that the type's header defines, with the definition line
// it comes from (a field's, else the type's), so that a catalogue whose names
// would collide is refused before anything is generated.
struct HeaderName {
  std::string id;
  int line;
};
std::vector<HeaderName> header_names(const Definition& def);

}  // namespace tablegen
