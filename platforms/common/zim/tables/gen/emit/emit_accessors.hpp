// SPDX-License-Identifier: Apache-2.0
// The static inline snapshot and field accessors of one type, part of its
// header.
#pragma once

#include <string>

#include "gen/read/definition.hpp"

namespace tablegen {

std::string accessors(const TypeLayout& type);

}  // namespace tablegen
