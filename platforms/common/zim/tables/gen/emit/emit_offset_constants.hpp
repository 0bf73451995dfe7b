// SPDX-License-Identifier: Apache-2.0
// The layout constants of one type, part of its header.
#pragma once

#include <string>

#include "gen/layout/type_layout.hpp"

namespace tablegen {

std::string offset_constants(const TypeLayout& type);

}  // namespace tablegen
