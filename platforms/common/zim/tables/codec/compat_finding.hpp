// SPDX-License-Identifier: Apache-2.0
// What one compatibility rule finds in one type, before it becomes a line of
// the report (compat.hpp): shared by the rules, the step that tells causes
// from their consequences, and the report.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/field_pairing.hpp"
#include "codec/migration_plan.hpp"
#include "codec/model.hpp"

namespace zim_codec {

enum class Verdict { kCompatible, kBreaking };

// What a finding may be a side effect of: a change that only follows from
// another change of the type is reported with the others of its type, once.
enum class Follows {
  kNothing,    // a cause of its own
  kFieldMove,  // a data field at other bytes, its shape and name kept
  kFlagMove,   // a data field's flags elsewhere, its bytes kept
  kTypeFact,   // the fixed size or the NPD marker's byte
  kCheckLine,  // the line an assertion report names
};

// What a rule found: the line of the newer source (of the older one for a
// type that is gone) that states it, what changed, why it matters when that
// depends on the change (empty: the rule's own reason), and for a breaking
// change the migration rule it breaks (none: a migration carries it). The
// change seen from each side completes "<older side> ...; <newer side> ...":
// "have `speed` 4 bytes wide" and "have 8".
struct Finding {
  int line = 0;
  std::string what;
  std::string why;
  std::optional<Uncarried> uncarried = std::nullopt;
  std::string older_has{}, newer_has{};
  Follows follows = Follows::kNothing;
};

// A finding with its rule's verdict and reason.
struct RuledFinding {
  Verdict verdict;
  const char* why;
  Finding found;
};

// A field name as the sides' words show it: `speed`, or "field N" for an
// unnamed one (its number in its layout).
std::string field_word(const TypeLayout& layout, const FieldLayout& field);

// A removed data field and an added one over its bytes, both named: most
// likely a rename that lacks its `was`.
using UnpairedRename = std::pair<const FieldLayout*, const FieldLayout*>;  // older, newer

// The removed and added fields of `pairs` that lie on the same bytes with the
// same shape.
std::vector<UnpairedRename> unpaired_renames(const std::vector<FieldPair>& pairs);

// The findings of the rules on one type's two layouts, in the report's order.
std::vector<RuledFinding> type_findings(const TypeLayout& older, const TypeLayout& newer);

// Folds the findings that only follow from another change into one finding at
// `line`, when the type has a breaking change of its own; else leaves them.
void fold_consequences(std::vector<RuledFinding>& found, int line);

}  // namespace zim_codec
