// SPDX-License-Identifier: Apache-2.0
// The report of two catalogues: types paired by name and id, the rules of a
// type without a counterpart of its name, and each type's findings
// (compat.cpp) as lines, its causes before their consequences.
#include <algorithm>
#include <map>
#include <string>

#include "codec/compat.hpp"
#include "codec/compat_finding.hpp"
#include "codec/printable.hpp"

namespace zim_codec {
namespace {

std::string str(uint32_t v) { return std::to_string(v); }

using Found = std::optional<Finding>;

// A type of either catalogue and its counterpart in the other: the type of
// the same name, else (for a newer type) the older type that held its id;
// null where there is none.
struct TypeMatch {
  const TypeLayout* older = nullptr;
  const TypeLayout* newer = nullptr;
};

// The rules of a type that has no counterpart of its name.
struct CatalogueRule {
  Verdict verdict;
  const char* why;
  Found (*find)(const TypeMatch&);
};

const CatalogueRule kCatalogueRules[] = {
    {Verdict::kBreaking, nullptr,
     [](const TypeMatch& m) -> Found {
       if (!m.older || !m.newer) return std::nullopt;
       return Finding{
           m.newer->lines.id,
           "table id " + str(m.newer->table_id) + " belonged to type '" + m.older->name +
               "' and now names '" + m.newer->name + "'",
           "processes on the old catalogue take these objects for '" + m.older->name + "' objects",
           Uncarried::kIdToAnotherType,
           "are objects of type " + quote(m.older->name),
           "are objects of type " + quote(m.newer->name)};
     }},
    {Verdict::kCompatible, "processes on the old catalogue never meet its objects",
     [](const TypeMatch& m) -> Found {
       if (m.older) return std::nullopt;
       return Finding{m.newer->lines.id,
                      "new type '" + m.newer->name + "' with table id " + str(m.newer->table_id),
                      {}};
     }},
    {Verdict::kBreaking, "processes on the old catalogue still create and read its objects",
     [](const TypeMatch& m) -> Found {
       if (m.newer) return std::nullopt;
       return Finding{
           m.older->lines.table,
           "type '" + m.older->name + "' (table id " + str(m.older->table_id) + ") removed",
           {},
           Uncarried::kTypeRemoved,
           "have objects of type " + quote(m.older->name),
           "have no such type"};
     }},
};

// Pairs the types of two catalogues: in the newer's id order, then the older
// types that neither a name nor an id carries on.
std::vector<TypeMatch> pair_types(const std::vector<TypeLayout>& older,
                                  const std::vector<TypeLayout>& newer) {
  std::map<std::string, const TypeLayout*> old_by_name, new_by_name;
  std::map<uint32_t, const TypeLayout*> old_by_id, new_by_id;
  for (const auto& t : older) old_by_name[t.name] = &t, old_by_id[t.table_id] = &t;
  for (const auto& t : newer) new_by_name[t.name] = &t, new_by_id[t.table_id] = &t;
  std::vector<TypeMatch> matches;
  for (const auto& [id, n] : new_by_id) {
    const auto same_name = old_by_name.find(n->name);
    const auto same_id = old_by_id.find(id);
    matches.push_back({same_name != old_by_name.end() ? same_name->second
                       : same_id != old_by_id.end()   ? same_id->second
                                                      : nullptr,
                       n});
  }
  for (const auto& [id, o] : old_by_id) {
    if (new_by_name.count(o->name) == 0 && new_by_id.count(id) == 0) matches.push_back({o});
  }
  return matches;
}

// Collects the lines of the report. A breaking change no migration carries
// ends with the rule it breaks, as the migration's refusal does.
class Report {
 public:
  // The lines of one type: its older and newer name (empty where it has
  // none) and the id the newer gives it (else the older).
  void type(const TypeMatch& m) {
    older_ = m.older ? m.older->name : "";
    newer_ = m.newer ? m.newer->name : "";
    table_id_ = (m.newer ? m.newer : m.older)->table_id;
  }
  void line(const std::string& path, Verdict verdict, const char* why, const Finding& f,
            const std::string& prefix = "") {
    const bool breaking = verdict == Verdict::kBreaking;
    const std::string reason = f.why.empty() && why ? why : f.why;
    lines_.push_back({path, std::max(f.line, 1), breaking, breaking && !f.uncarried, older_, newer_,
                      table_id_,
                      prefix + f.what + (reason.empty() ? "" : ": " + reason) +
                          (f.uncarried ? std::string("; ") + uncarried_text(*f.uncarried) : ""),
                      f.older_has, f.newer_has});
  }
  std::vector<CompatLine> take() { return std::move(lines_); }

 private:
  std::vector<CompatLine> lines_;
  std::string older_, newer_;
  uint32_t table_id_ = 0;
};

}  // namespace

std::vector<CompatLine> compat_lines(const std::vector<TypeLayout>& older,
                                     const std::vector<TypeLayout>& newer) {
  Report report;
  for (const TypeMatch& m : pair_types(older, newer)) {
    report.type(m);
    if (m.older && m.newer && m.older->name == m.newer->name) {
      std::vector<RuledFinding> found = type_findings(*m.older, *m.newer);
      fold_consequences(found, std::max(m.newer->lines.table, 1));
      for (const RuledFinding& r : found)
        report.line(m.newer->path, r.verdict, r.why, r.found, m.newer->name + ": ");
      continue;
    }
    for (const CatalogueRule& rule : kCatalogueRules) {
      if (Found f = rule.find(m))
        report.line((m.newer ? m.newer : m.older)->path, rule.verdict, rule.why, *f);
    }
  }
  return report.take();
}

}  // namespace zim_codec
