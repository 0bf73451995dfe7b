// SPDX-License-Identifier: Apache-2.0
// A definition in its canonical form, every derived value written out
// (--format). Reads the definition, not its layout, to keep its names and
// comments.
#pragma once

#include <string>

#include "gen/read/definition.hpp"

namespace tablegen {

std::string emit_definition(const Definition& def);

}  // namespace tablegen
