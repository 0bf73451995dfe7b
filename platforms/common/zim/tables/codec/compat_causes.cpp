// SPDX-License-Identifier: Apache-2.0
// Causes and their consequences: one added or widened field moves every field
// and flag after it, the fixed size and the NPD marker. Reported one by one,
// the side effects bury the change that caused them, so they are told once,
// after the causes.
#include <algorithm>
#include <string>

#include "codec/compat_finding.hpp"
#include "codec/printable.hpp"

namespace zim_codec {

std::string field_word(const TypeLayout& layout, const FieldLayout& field) {
  if (!field.name.empty()) return "`" + printable(field.name, 48) + "`";
  return "field " + std::to_string(&field - layout.fields.data());
}

std::vector<UnpairedRename> unpaired_renames(const std::vector<FieldPair>& pairs) {
  std::vector<UnpairedRename> renames;
  for (const FieldPair& added : pairs) {
    if (added.older || added.newer->name.empty()) continue;
    for (const FieldPair& removed : pairs) {
      if (removed.newer || removed.older->name.empty()) continue;
      const FieldLayout &was = *removed.older, &is = *added.newer;
      const bool same_bytes = was.kind == is.kind && was.offset == is.offset &&
                              was.width == is.width && was.run_length == is.run_length;
      const bool taken = std::any_of(renames.begin(), renames.end(),
                                     [&](const UnpairedRename& r) { return r.first == &was; });
      if (same_bytes && !taken) {
        renames.emplace_back(&was, &is);
        break;
      }
    }
  }
  return renames;
}

namespace {

std::string counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void fold_consequences(std::vector<RuledFinding>& found, int line) {
  const auto follows = [](const RuledFinding& r) { return r.found.follows != Follows::kNothing; };
  const bool has_cause = std::any_of(found.begin(), found.end(), [&](const RuledFinding& r) {
    return !follows(r) && r.verdict == Verdict::kBreaking;
  });
  if (!has_cause || std::none_of(found.begin(), found.end(), follows)) return;
  size_t moves = 0, flag_moves = 0, checks = 0;
  bool breaking = false;
  std::vector<std::string> facts;
  for (const RuledFinding& r : found) {
    if (!follows(r)) continue;
    breaking |= r.verdict == Verdict::kBreaking;
    moves += r.found.follows == Follows::kFieldMove;
    flag_moves += r.found.follows == Follows::kFlagMove;
    checks += r.found.follows == Follows::kCheckLine;
    if (r.found.follows == Follows::kTypeFact) facts.push_back(r.found.what);
  }
  if (flag_moves) {
    facts.insert(facts.begin(),
                 "the flags of " + counted(flag_moves, "data field move", "data fields move"));
  }
  if (moves) facts.insert(facts.begin(), counted(moves, "data field moves", "data fields move"));
  if (checks) {
    facts.push_back(counted(checks, "assertion report names", "assertion reports name") +
                    " another line");
  }
  std::string what;
  for (const std::string& fact : facts) what += (what.empty() ? "" : ", ") + fact;
  found.erase(std::remove_if(found.begin(), found.end(), follows), found.end());
  found.push_back({breaking ? Verdict::kBreaking : Verdict::kCompatible, nullptr,
                   Finding{line, what, "they follow from the changes above"}});
}

}  // namespace zim_codec
