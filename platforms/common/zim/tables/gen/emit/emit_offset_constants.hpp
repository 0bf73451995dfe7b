// SPDX-License-Identifier: Apache-2.0
// The layout constants of one type, part of its header.
#pragma once

#include <string>

#include "gen/read/definition.hpp"

namespace tablegen {

std::string offset_constants(const TypeLayout& type);

}  // namespace tablegen
