// SPDX-License-Identifier: Apache-2.0
// The public header of one type: its types, prototypes, layout constants
// and accessors.
#pragma once

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// include/zim/tables/<type>.h, relative to include/.
GeneratedFile emit_type_header(const TypeLayout& type);

}  // namespace tablegen
