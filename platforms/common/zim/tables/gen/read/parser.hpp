// SPDX-License-Identifier: Apache-2.0
// Reads the text of one definition file into a Definition.
#pragma once

#include <optional>
#include <string>

#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// Returns the definition, or nothing after reporting every syntax error found.
std::optional<Definition> parse_definition(const std::string& path, const std::string& text,
                                           Diagnostics& diags);

}  // namespace tablegen
