// SPDX-License-Identifier: Apache-2.0
// A type's layout record: its part of the layout manifest, which the manifest
// writer puts after its preamble and each type header carries in its layout
// note (zim/tables/layout_note.h).
#pragma once

#include <string>

#include "gen/layout/type_layout.hpp"

namespace tablegen {

// The record, from "type ID NAME\n" to its "wisp" line.
std::string layout_record(const TypeLayout& type);

// The file-scope block that ends a type header: the ELF note carrying the
// type's layout record, for every program or library that includes it.
std::string layout_note(const TypeLayout& type);

}  // namespace tablegen
