// SPDX-License-Identifier: Apache-2.0
// What the generator holds a manifest's record to beyond the runtime's
// reading of it: the facts it derives from the record's fields.
#pragma once

#include "codec/layout_record.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// Reports, through fail, every fact of the record that follows from its
// fields and is not the one the planner derives from them: the flag
// positions, npd_present and the dynamic order (as the runtime holds them),
// and the lines and prototypes of the unit's checks.
void check_derived(const StatedRecord& record, const TypeLayout& planned, const Report& fail);

}  // namespace tablegen
