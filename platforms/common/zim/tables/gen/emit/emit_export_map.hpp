// SPDX-License-Identifier: Apache-2.0
// The linker version script that exports the operations and nothing else.
#pragma once

#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// zim_tables.map
void emit_export_map(const std::vector<TypeLayout>& types, OutputSink& out);

}  // namespace tablegen
