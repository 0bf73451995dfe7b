// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/compat.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "gen/text/diagnostics.hpp"

namespace tablegen {
namespace {

using TypeKey = std::pair<std::string, std::string>;  // older name, newer name

CompatVerdict verdict_of(const CompatLine& line) {
  return !line.breaking  ? CompatVerdict::kCompatible
         : line.migrated ? CompatVerdict::kBreakingMigrated
                         : CompatVerdict::kBreakingNotMigrated;
}

const char* verdict_text(CompatVerdict v) {
  switch (v) {
    case CompatVerdict::kCompatible:
      return "compatible";
    case CompatVerdict::kBreakingMigrated:
      return "breaking, migrated";
    case CompatVerdict::kBreakingNotMigrated:
      break;
  }
  return "breaking, not migrated";
}

// One type that differs: its verdict one way and the other.
struct TypeSummary {
  TypeKey key;
  uint32_t table_id = 0;
  CompatVerdict forward = CompatVerdict::kCompatible;
  CompatVerdict rollback = CompatVerdict::kCompatible;
};

std::vector<TypeSummary> summarise(const std::vector<CompatLine>& forward,
                                   const std::vector<CompatLine>& backward) {
  std::vector<TypeSummary> types;
  std::map<TypeKey, size_t> index;
  for (const CompatLine& l : forward) {
    const auto [it, fresh] = index.emplace(TypeKey{l.older_type, l.newer_type}, types.size());
    if (fresh) types.push_back({it->first, l.table_id});
    types[it->second].forward = std::max(types[it->second].forward, verdict_of(l));
  }
  for (const CompatLine& l : backward) {
    const auto it = index.find({l.newer_type, l.older_type});
    if (it != index.end())
      types[it->second].rollback = std::max(types[it->second].rollback, verdict_of(l));
  }
  return types;
}

std::string summary_line(const TypeSummary& t, bool both_ways) {
  const auto& [was, is] = t.key;
  std::string line = (is.empty() ? was : is) + " (table id " + std::to_string(t.table_id);
  if (!was.empty() && !is.empty() && was != is) line += ", was " + was;
  line += "): " + std::string(verdict_text(t.forward));
  if (both_ways) line += "; rollback: " + std::string(verdict_text(t.rollback));
  return printable(line, 240);
}

}  // namespace

CompatVerdict compare_catalogues(const std::vector<TypeLayout>& older,
                                 const std::vector<TypeLayout>& newer, std::ostream& out,
                                 bool both_ways) {
  const std::vector<CompatLine> forward = compat_lines(older, newer);
  const std::vector<CompatLine> backward =
      both_ways ? compat_lines(newer, older) : std::vector<CompatLine>{};
  CompatVerdict worst = CompatVerdict::kCompatible;
  for (const TypeSummary& t : summarise(forward, backward)) {
    out << summary_line(t, both_ways) << "\n";
    worst = std::max(worst, t.forward);
  }
  if (forward.empty() && backward.empty()) return worst;
  out << "\n";
  for (const CompatLine& l : forward)
    out << message_line(l.path, l.line, verdict_text(verdict_of(l)), l.text, 512) << "\n";
  // A rollback pairs fields by the older catalogue's names alone (a newer
  // field's `was` means nothing to it), so it may drop values the forward
  // migration carried: its changes are listed as it sees them.
  for (const CompatLine& l : backward) {
    const std::string verdict = "rollback " + std::string(verdict_text(verdict_of(l)));
    out << message_line(l.path, l.line, verdict, l.text, 512) << "\n";
  }
  return worst;
}

}  // namespace tablegen
