// SPDX-License-Identifier: Apache-2.0
// Fills in what a definition leaves to the layout rules: the offsets of
// fields written without one, flags_at and fixed_size. It runs between the
// parser and the validator, so that the validator checks a complete layout
// the same way whether its numbers were written or derived.
#pragma once

#include "gen/read/definition.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {

// The alignment a field written without its offset is placed at: 8 for an
// array's data pointer and for a 16-byte field, the width of an inline field
// (or of a run's elements) of 2, 4 or 8 bytes, otherwise 1.
uint64_t field_alignment(const FieldItem& item);

// Places every field whose offset was not given after the end of the field
// before it, and derives flags_at and fixed_size where they were left out.
// Returns false after reporting, at the field's line, a computed value that
// leaves the bounds of gen/limits.hpp.
bool resolve_layout(Definition& def, Diagnostics& diags);

}  // namespace tablegen
