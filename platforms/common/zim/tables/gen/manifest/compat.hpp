// SPDX-License-Identifier: Apache-2.0
// --compat: the runtime's comparison of two catalogues (codec/compat.hpp),
// printed for a person deciding whether to ship: a summary line per type that
// differs, then the details as the generator prints its messages.
#pragma once

#include <ostream>
#include <vector>

#include "codec/compat.hpp"
#include "gen/read/definition.hpp"

namespace tablegen {

// The worst verdict over every type, in rising order.
enum class CompatVerdict { kCompatible, kBreakingMigrated, kBreakingNotMigrated };

// Prints the report of moving from `older` to `newer`; with `both_ways`,
// also whether programs of `older` can take back a pool `newer` wrote (the
// rollback), per type. Returns the forward verdict.
CompatVerdict compare_catalogues(const std::vector<TypeLayout>& older,
                                 const std::vector<TypeLayout>& newer, std::ostream& out,
                                 bool both_ways = false);

}  // namespace tablegen
