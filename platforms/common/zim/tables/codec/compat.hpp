// SPDX-License-Identifier: Apache-2.0
// Compares two catalogues type by type for processes that share objects: one
// line per difference, compatible, breaking and migrated (a migration of the
// objects carries it) or breaking and not migrated (the text ends with the
// rule it breaks), at the line of the newer catalogue (or of the older one
// for a type that is gone). A type's causes come first; what only follows
// from them (fields that move, the fixed size, the NPD marker) is one line
// after them. --compat prints the lines; the pool's handshake names the first
// breaking one (record_difference.hpp).
#pragma once

#include <cstdint>
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
  std::string newer_type;  // the newer type the line is about; empty for a type gone
  uint32_t table_id = 0;   // the newer type's, else the older's
  std::string text;        // "NAME: what changed: why"
  // The change as each side has it, to complete "<older side> ...; <newer
  // side> ...": "have `speed` 4 bytes wide", "have 8". Names are escaped.
  std::string older_has{}, newer_has{};
};

// The report's lines, in its order.
std::vector<CompatLine> compat_lines(const std::vector<TypeLayout>& older,
                                     const std::vector<TypeLayout>& newer);

}  // namespace zim_codec
