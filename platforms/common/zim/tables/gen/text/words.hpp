// SPDX-License-Identifier: Apache-2.0
// How definitions and manifests split a line into words: on the same bytes,
// so that a form feed or a vertical tab means the same in both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tablegen {

inline bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

inline std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_space(line[at])) ++at;
    const size_t start = at;
    while (at < line.size() && !is_space(line[at])) ++at;
    if (at > start) words.emplace_back(line.substr(start, at - start));
  }
  return words;
}

}  // namespace tablegen
