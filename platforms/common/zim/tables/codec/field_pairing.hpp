// SPDX-License-Identifier: Apache-2.0
// Which data field of a newer layout holds what a field of an older layout
// held, for --compat and for migrating objects. Names decide (a field's
// `was` names the older field it continues); unnamed fields go by their
// number, and never by a guess. Where the two layouts lay out the same bytes,
// every field keeps its bytes, so the fields pair by number whatever their
// names: objects of such a layout are never converted.
#pragma once

#include <cstddef>
#include <vector>

#include "codec/model.hpp"

namespace zim_codec {

// The old and the new layout of a data field, or of a group of adjacent
// fields over the same bytes (a run of N fields and N single fields, or runs
// split elsewhere: no change to the objects); null on the side that lacks it.
struct FieldPair {
  const FieldLayout* older = nullptr;
  const FieldLayout* newer = nullptr;
  size_t older_count = 1;  // fields of the group from older on
  size_t newer_count = 1;
  bool by_number = false;  // paired by number (one side unnamed), not by name
  bool regrouped() const { return older_count != 1 || newer_count != 1; }
};

// Whether two fields lie on the same bytes, written alike.
bool same_layout(const FieldLayout& a, const FieldLayout& b);

// Pairs the fields of two layouts of a type, in the newer's field order; the
// older's fields no pair holds (removed) come last, in the older's order.
std::vector<FieldPair> pair_fields(const TypeLayout& older, const TypeLayout& newer);

}  // namespace zim_codec
