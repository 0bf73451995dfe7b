// SPDX-License-Identifier: Apache-2.0
// The values every template of a type is filled with.
#pragma once

#include <string>

#include "gen/emit/template.hpp"
#include "gen/read/definition.hpp"
#include "gen/names/names.hpp"

namespace tablegen {

// The type's name, traits, the parameters of its count-taking operations
// (see operations.hpp), and its scalar facts.
Vars type_vars(const TypeLayout& type);

}  // namespace tablegen
