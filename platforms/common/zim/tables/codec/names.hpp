// SPDX-License-Identifier: Apache-2.0
// The shape of the names a layout gives: type and field names become parts
// of C identifiers in every header generated from them, and readers show
// them in messages, so each is a short lowercase identifier.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "codec/words.hpp"

namespace zim_codec {

// A lowercase C identifier of min_size to max_size characters: a-z, 0-9 and
// _, beginning with a letter.
inline bool lower_identifier(const std::string& name, size_t min_size, size_t max_size) {
  if (name.size() < min_size || name.size() > max_size || !is_lower(name[0])) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return is_lower(c) || is_digit(c) || c == '_'; });
}

// A type name: a lowercase identifier of 3 to 22 characters.
inline bool valid_type_name(const std::string& name) { return lower_identifier(name, 3, 22); }

// A field name: a lowercase C identifier of at most kMaxFieldName characters.
inline constexpr size_t kMaxFieldName = 48;
inline bool valid_field_name(const std::string& name) {
  return lower_identifier(name, 1, kMaxFieldName);
}

}  // namespace zim_codec
