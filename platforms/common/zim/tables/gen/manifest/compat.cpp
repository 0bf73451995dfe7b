// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/compat.hpp"

#include "gen/text/diagnostics.hpp"

namespace tablegen {

bool compare_catalogues(const std::vector<TypeLayout>& older, const std::vector<TypeLayout>& newer,
                        std::ostream& out) {
  bool breaking = false;
  for (const CompatLine& l : compat_lines(older, newer)) {
    const char* verdict = !l.breaking  ? "compatible"
                          : l.migrated ? "breaking, migrated"
                                       : "breaking, not migrated";
    out << message_line(l.path, l.line, verdict, l.text, 512) << "\n";
    breaking |= l.breaking;
  }
  return breaking;
}

}  // namespace tablegen
