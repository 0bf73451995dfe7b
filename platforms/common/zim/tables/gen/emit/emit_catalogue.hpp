// SPDX-License-Identifier: Apache-2.0
// The catalogue of every type for tests and tools, not part of the library.
#pragma once

#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// zim_tables_catalogue.cpp
void emit_catalogue(const std::vector<TypeLayout>& types, OutputSink& out);

}  // namespace tablegen
