// SPDX-License-Identifier: Apache-2.0
// Finding a catalogue's types by what a user typed, and listing them.
#pragma once

#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// The type that a name or a decimal table id names; null when none does.
const TypeLayout* lookup_type(const std::vector<TypeLayout>& types, const std::string& key);
// The type of a table id in a catalogue ascending by table id; null for none.
const TypeLayout* type_with_id(const std::vector<TypeLayout>& types, uint32_t table_id);

// Up to three of `names` within two edits (insertion, deletion, substitution
// or swap of neighbours) of `key`, nearest first, then in the order given.
std::vector<std::string> nearest_names(const std::vector<std::string>& names,
                                       const std::string& key);

// "did you mean a, b or c?", empty for no names.
std::string did_you_mean(const std::vector<std::string>& names);

// Every type of the catalogue: table id, name, class, fixed size and what
// sizes its objects beyond the fixed part.
Json types_doc(const std::vector<TypeLayout>& types);

// What sizes an object of the type: whether it takes a count, and whether it
// has per-NPU arrays (so that N changes it).
bool takes_count(const TypeLayout& type);
bool has_per_npu_arrays(const TypeLayout& type);

}  // namespace zim_inspect
