// SPDX-License-Identifier: Apache-2.0
// The header that includes every type header.
#pragma once

#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// include/zim/tables/all_tables.h, relative to include/.
void emit_umbrella_header(const std::vector<TypeLayout>& types, OutputSink& out);

}  // namespace tablegen
