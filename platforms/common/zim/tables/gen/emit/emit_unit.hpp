// SPDX-License-Identifier: Apache-2.0
// The generated unit of one type: its traits, then the thirteen operations.
#pragma once

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// src/vesk-autogensrc/<type>_common_utils.cpp, relative to src/.
GeneratedFile emit_unit(const TypeLayout& type);

}  // namespace tablegen
