// SPDX-License-Identifier: Apache-2.0
// The values every template of a type is filled with, and the C signature
// and exported name of each operation for a type.
#pragma once

#include <string>

#include "gen/emit/template.hpp"
#include "gen/layout/type_layout.hpp"
#include "gen/names/operations.hpp"

namespace tablegen {

// The type's name, traits, the parameters of its count-taking operations
// (see operations.hpp), and its scalar facts.
Vars type_vars(const TypeLayout& type);

// An operation's C signature for a type, given its type_vars.
std::string operation_signature(const Operation& op, const Vars& type);

// An operation's exported name for a type.
std::string operation_name(const Operation& op, const std::string& type);

}  // namespace tablegen
