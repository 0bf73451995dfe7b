// SPDX-License-Identifier: Apache-2.0
// Checks definitions against the object layout rules, one by one and across
// the whole catalogue.
#pragma once

#include <string>
#include <vector>

#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// Reports every rule that the definition breaks.
void validate_definition(const Definition& def, Diagnostics& diags);

// Reports what only the whole set shows: ids dense and unique from 0, unique
// names, trace identifiers owned by one type each. Expects defs in table-id
// order, ties by file name: of two definitions that clash, the later one is
// blamed.
void validate_catalogue(const std::vector<Definition>& defs, Diagnostics& diags);

}  // namespace tablegen
