// SPDX-License-Identifier: Apache-2.0
// The number of table types as a C constant.
#pragma once

#include <vector>

#include "gen/emit/generated_file.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// include/zim/tables/catalogue_size.h, relative to include/.
GeneratedFile emit_catalogue_size_header(const std::vector<TypeLayout>& types);

}  // namespace tablegen
