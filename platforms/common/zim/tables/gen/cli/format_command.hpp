// SPDX-License-Identifier: Apache-2.0
// zim_tablegen --format: definitions in their canonical form, printed or
// rewritten in place.
#pragma once

#include <filesystem>
#include <ostream>
#include <vector>

#include "gen/text/diagnostics.hpp"

namespace tablegen {

// Reads and validates every definition of paths (files, or folders of
// *.tdef files, which are also checked as catalogues). With write, each file
// whose canonical form differs from its text is replaced by it in one step,
// with its owner, group and mode, unless it changed since it was read (a save
// is never lost); files with several links and read-only ones are refused.
// Without write, the one definition of paths is printed to out. Returns false
// after reporting any problem; nothing is printed or written for an invalid
// definition.
bool format_definitions(const std::vector<std::filesystem::path>& paths, bool write,
                        std::ostream& out, Diagnostics& diags);

}  // namespace tablegen
