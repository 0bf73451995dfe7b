// SPDX-License-Identifier: Apache-2.0
// The rules on the names a definition gives beyond the shape of each name:
// fields' old names, and the identifiers its header would declare against
// the library's, the platform's and the other headers' (validator.cpp runs
// them with the layout rules).
#pragma once

#include <vector>

#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// An old name (`field ITEM NAME was OLD`) pairs its field with the field of
// that name in objects made before: it is a field name, not the field's own,
// and one field's only.
void check_old_names(const Definition& def, Diagnostics& diags);

// A type whose name begins with a reserved word is refused at its name, any
// other at each field whose names would begin with one.
void check_reserved_names(const Definition& def, Diagnostics& diags);

// The functions of every header, operations and accessors, against each
// other, each pair of lines once.
void check_function_names(const std::vector<Definition>& defs, Diagnostics& diags);

}  // namespace tablegen
