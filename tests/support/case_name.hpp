// SPDX-License-Identifier: Apache-2.0
// The name of a parameterised case, from the words that describe it, so that
// one case can be filtered, named and rerun: letters and digits kept, every
// other run of characters one underscore.
#pragma once

#include <cctype>
#include <string>

namespace zim_test {

inline std::string case_name(const std::string& what) {
  std::string name;
  for (const char c : what) {
    const bool kept = std::isalnum(static_cast<unsigned char>(c));
    if (kept || (!name.empty() && name.back() != '_')) name += kept ? c : '_';
  }
  if (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

}  // namespace zim_test
