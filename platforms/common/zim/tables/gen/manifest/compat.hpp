// SPDX-License-Identifier: Apache-2.0
// --compat: the runtime's comparison of two catalogues (codec/compat.hpp),
// printed as the generator prints its messages.
#pragma once

#include <ostream>
#include <vector>

#include "codec/compat.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// Prints the report; returns true when any difference is breaking.
bool compare_catalogues(const std::vector<TypeLayout>& older, const std::vector<TypeLayout>& newer,
                        std::ostream& out);

}  // namespace tablegen
