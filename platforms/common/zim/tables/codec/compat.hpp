// SPDX-License-Identifier: Apache-2.0
// Compares two catalogues type by type for processes that share objects: one
// line per difference, compatible, breaking and migrated (a migration of the
// objects carries it) or breaking and not migrated (the text ends with the
// rule it breaks), at the line of the newer catalogue (or of the older one
// for a type that is gone). --compat prints the lines; the pool's handshake
// names the first breaking one (record_difference.hpp).
#pragma once

#include <string>
#include <vector>

#include "codec/model.hpp"

namespace zim_codec {

// One line of the report.
struct CompatLine {
  std::string path;  // of the newer catalogue; of the older for a type that is gone
  int line = 1;
  bool breaking = false;
  bool migrated = false;   // breaking, and a migration of the objects carries it
  std::string older_type;  // the older type the line is about; empty for a new type
  std::string text;        // "NAME: what changed: why"
};

// The report's lines, in its order.
std::vector<CompatLine> compat_lines(const std::vector<TypeLayout>& older,
                                     const std::vector<TypeLayout>& newer);

}  // namespace zim_codec
