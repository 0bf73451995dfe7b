// SPDX-License-Identifier: Apache-2.0
// How --compat pairs the data fields of two layouts of a type: by position,
// except that fields written differently over the same bytes (a run of N
// fields and N single fields, or runs split elsewhere) form one pair of
// groups, which is no change to the objects.
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "gen/layout/type_layout.hpp"

namespace tablegen {

// The old and the new layout of a data field, or of a group of adjacent
// fields over the same bytes; null on the side that lacks it.
struct FieldPair {
  const FieldLayout* older = nullptr;
  const FieldLayout* newer = nullptr;
  size_t older_count = 1;  // fields of the group from older on
  size_t newer_count = 1;
  bool regrouped() const { return older_count != 1 || newer_count != 1; }
};

// Whether two fields lie on the same bytes, written alike.
bool same_layout(const FieldLayout& a, const FieldLayout& b);

// Pairs the fields of two layouts; the older's extra fields were removed,
// the newer's added.
std::vector<FieldPair> pair_fields(const TypeLayout& older, const TypeLayout& newer);

}  // namespace tablegen
