// SPDX-License-Identifier: Apache-2.0
// Compares two catalogues type by type for processes that share objects: one
// line per difference, "path:line: breaking: ..." or "path:line: compatible:
// ...", at the line of the newer catalogue (or of the older one for a type
// that is gone).
#pragma once

#include <ostream>
#include <vector>

#include "gen/layout/type_layout.hpp"

namespace tablegen {

// Returns true when any difference is breaking.
bool compare_catalogues(const std::vector<TypeLayout>& older, const std::vector<TypeLayout>& newer,
                        std::ostream& out);

}  // namespace tablegen
