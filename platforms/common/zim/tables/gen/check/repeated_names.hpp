// SPDX-License-Identifier: Apache-2.0
// The names that may occur more than once among many, so that a check of
// clashes across a whole catalogue keeps only these in its map of owners
// rather than every name of every type (tens of millions of strings at the
// largest catalogue).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace tablegen {

// Found by a 64-bit hash of each name: every name that repeats is kept, and
// a name that only shares its hash with another is kept too, to be checked
// in full like the rest.
class RepeatedNames {
 public:
  explicit RepeatedNames(size_t expected) { hashes_.reserve(expected); }
  void add(std::string_view name) { hashes_.push_back(hash(name)); }
  // After the last add: keeps each hash that came more than once, once.
  void seal() {
    std::sort(hashes_.begin(), hashes_.end());
    std::vector<uint64_t> repeated;
    for (size_t i = 1; i < hashes_.size(); ++i) {
      if (hashes_[i] == hashes_[i - 1] && (repeated.empty() || repeated.back() != hashes_[i])) {
        repeated.push_back(hashes_[i]);
      }
    }
    hashes_.swap(repeated);
  }
  bool may_repeat(std::string_view name) const {
    return std::binary_search(hashes_.begin(), hashes_.end(), hash(name));
  }

 private:
  static uint64_t hash(std::string_view name) { return std::hash<std::string_view>{}(name); }
  std::vector<uint64_t> hashes_;
};

}  // namespace tablegen
