// SPDX-License-Identifier: Apache-2.0
// Checks definitions against the object layout rules, one by one and across
// the whole catalogue.
#pragma once

#include <string>
#include <vector>

#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// The words that begin, after zim_ (ZIM_ in macros), every function and macro
// of the library's own headers and of the platform's (the simulated one's
// included): zim_shm_pool_root, ZIM_OBJ_TABLE_ID_OFFSET. A type or field whose
// header's names would begin with one (alone or before _) is refused, so that
// no type's header can meet a name of theirs, now or as they grow; a test holds
// the list against every name those headers declare.
inline constexpr const char* kReservedWords[] = {
    "tables", "shm",   "sim",  "table_props", "srv_table_props",
    "obj",    "array", "true", "false",       "num_table_types"};

// The word of kReservedWords that id, a zim_ or ZIM_ name, begins with; null
// when none does.
const char* reserved_word(const std::string& id);

// Reports every rule that the definition breaks.
void validate_definition(const Definition& def, Diagnostics& diags);

// Reports what only the whole set shows: ids dense and unique from 0, unique
// names, trace identifiers owned by one type each. Expects defs in table-id
// order, ties by file name: of two definitions that clash, the later one is
// blamed.
void validate_catalogue(const std::vector<Definition>& defs, Diagnostics& diags);

}  // namespace tablegen
