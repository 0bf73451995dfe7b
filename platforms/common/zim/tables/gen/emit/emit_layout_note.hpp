// SPDX-License-Identifier: Apache-2.0
// The layout note that ends each type header: the type's layout record
// (codec/layout_record.hpp) in an ELF note (zim/tables/layout_note.h).
#pragma once

#include <string>

#include "gen/read/definition.hpp"

namespace tablegen {

// The file-scope block that ends a type header: the ELF note carrying the
// type's layout record, for every program or library that includes it.
std::string layout_note(const TypeLayout& type);

}  // namespace tablegen
