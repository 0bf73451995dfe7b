// SPDX-License-Identifier: Apache-2.0
// The planner: from a validated definition to the type's layout, computed
// once for every back end.
#pragma once

#include "gen/read/definition.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

TypeLayout plan_layout(const Definition& def);

}  // namespace tablegen
