// SPDX-License-Identifier: Apache-2.0
// `zim_tables_mirror --status`: what a mirror's pool records, for people
// and for tests, read from another process while the mirror runs.
#pragma once

#include <ostream>
#include <string>

namespace zim_mirror {

// Prints the record of the pool `name` (JSON with `json`); the exit status.
int print_status(const std::string& name, bool json, std::ostream& out, std::ostream& err);

}  // namespace zim_mirror
