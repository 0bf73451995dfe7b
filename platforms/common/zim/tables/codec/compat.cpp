// SPDX-License-Identifier: Apache-2.0
// The compatibility rules as data: each rule finds one kind of change between
// the older and the newer layout of a type, and states whether processes on
// the older layout can still share objects with the newer and why, and for a
// breaking change whether a migration of the objects carries it (the rules
// of migration_plan.hpp). Pairing (of types, by name and id; of data fields,
// field_pairing.hpp) is a step of its own, ahead of the rules, which only
// read the pairs it gives.
#include "codec/compat.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "codec/field_pairing.hpp"
#include "codec/migration_plan.hpp"

namespace zim_codec {
namespace {

std::string str(uint32_t v) { return std::to_string(v); }

// The two layouts of one type, with their data fields paired.
struct TypePair {
  const TypeLayout& older;
  const TypeLayout& newer;
  std::vector<FieldPair> fields;
};

// What a rule found: the line of the newer source (of the older one for a type
// that is gone) that states it, what changed, why it matters when that
// depends on the change (empty: the rule's own reason), and for a breaking
// change the migration rule it breaks (none: a migration carries it).
struct Finding {
  int line = 0;
  std::string what;
  std::string why;
  std::optional<Uncarried> uncarried = std::nullopt;
};
using Found = std::optional<Finding>;

enum class Verdict { kCompatible, kBreaking };

// One rule: what changed, found by one of its finders (on the type as a whole,
// on one pair of its data fields, or on a type of either catalogue and its
// counterpart), whether that breaks sharing objects, and why (null: the
// finding says all). Finders given the findings of the rules before them may
// depend on them. Members added later take defaults, so the tables stay.
struct Rule {
  Verdict verdict;
  const char* why;
  Found (*on_type)(const TypePair&, const std::vector<Finding>& before) = nullptr;
  Found (*on_field)(const TypePair&, const FieldPair&) = nullptr;
};

// The one place that shows a data field as its definition writes it.
std::string field_text(const FieldLayout& f) {
  return item_text(f) + (f.is_array() ? " with its flag pointer at " : " with flags at ") +
         str(f.flag_at);
}

// The same, after the field's name when it has one: "'x' 216:8 with flags at 230".
std::string named_field_text(const FieldLayout& f) {
  return (f.name.empty() ? "" : "'" + f.name + "' ") + field_text(f);
}

// The texts of items, one space between them.
template <typename Items, typename Text>
std::string joined(const Items& items, Text text) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : " ") + text(item);
  return out;
}

std::string header_text(const std::vector<HeaderField>& header) {
  return joined(header, [](const HeaderField& h) { return item_text(h); });
}

std::string count_text(const std::optional<uint32_t>& count_field) {
  return count_field ? "a count at " + str(*count_field) : std::string("no count");
}

std::string wisp_text(const std::array<uint32_t, 6>& wisp) { return joined(wisp, str); }

std::string shown_name(const std::string& name) {
  return name.empty() ? std::string("(unnamed)") : "'" + name + "'";
}

std::string line_text(uint32_t line) { return line == 0 ? "none" : str(line); }

bool same_header(const std::vector<HeaderField>& a, const std::vector<HeaderField>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.offset == y.offset && x.width == y.width;
  });
}

// "WHAT OLD is now NEW" at line, when the two differ.
Found changed(bool differs, int line, const std::string& what, const std::string& was,
              const std::string& is, std::optional<Uncarried> uncarried = std::nullopt) {
  if (!differs) return std::nullopt;
  return Finding{line, what + was + " is now " + is, {}, uncarried};
}

// A check site of the unit, by the word its report uses for it.
template <CheckSite CheckSites::*kSite>
Found check_moved(const char* name, const TypePair& t) {
  const uint32_t was = (t.older.checks.*kSite).line, is = (t.newer.checks.*kSite).line;
  if (was == is) return std::nullopt;
  return Finding{t.newer.lines.checks,
                 std::string("the ") + name + " check now reports line " + line_text(is) +
                     " instead of " + line_text(was),
                 {}};
}

using Findings = std::vector<Finding>;

// The rules of one type, in the order of its report. Consecutive field rules
// are walked field pair by field pair.
const Rule kTypeRules[] = {
    {Verdict::kBreaking, "its objects are sought in another table's pool and records",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.table_id != t.newer.table_id, t.newer.lines.id, "table id ",
                      str(t.older.table_id), str(t.newer.table_id), Uncarried::kTableIdChanged);
     }},
    {Verdict::kBreaking, "the operations lay out, size and check its objects differently",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.type_class != t.newer.type_class, t.newer.lines.type_class, "class ",
                      class_keyword(t.older.type_class), class_keyword(t.newer.type_class),
                      Uncarried::kClassChanged);
     }},
    {Verdict::kBreaking, "the NPD area and every array move",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.fixed_size != t.newer.fixed_size, t.newer.lines.fixed_size,
                      "fixed size ", str(t.older.fixed_size), str(t.newer.fixed_size));
     }},
    {Verdict::kBreaking,
     "constructors take other arguments and the element count is read elsewhere",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.count_field != t.newer.count_field, t.newer.lines.count_field, "",
                      count_text(t.older.count_field), count_text(t.newer.count_field),
                      Uncarried::kCountChanged);
     }},
    {Verdict::kBreaking, "the pointer fix-up judges the same objects differently",
     [](const TypePair& t, const Findings&) -> Found {
       if (t.older.size_check == t.newer.size_check) return std::nullopt;
       return Finding{t.newer.lines.size_check,
                      std::string("size check switched ") + (t.newer.size_check ? "on" : "off"),
                      {}};
     }},
    {Verdict::kBreaking, "the platform reads that bit of every object of the type",
     [](const TypePair& t, const Findings&) -> Found {
       if (t.older.sets_obj_flags_bit5 == t.newer.sets_obj_flags_bit5) return std::nullopt;
       return Finding{t.newer.lines.obj_flags_bit5,
                      std::string("bit 5 of obj_flags is now ") +
                          (t.newer.sets_obj_flags_bit5 ? "set" : "cleared"),
                      {}};
     }},
    {Verdict::kBreaking, "the header copies move other bytes, in another order",
     [](const TypePair& t, const Findings&) {
       return changed(!same_header(t.older.header, t.newer.header), t.newer.lines.header,
                      "type header ", header_text(t.older.header), header_text(t.newer.header),
                      Uncarried::kHeaderShape);
     }},
    {Verdict::kBreaking, "processes on the old layout read and copy other bytes", nullptr,
     [](const TypePair&, const FieldPair& f) -> Found {
       if (!f.older || !f.newer || f.regrouped() || same_layout(*f.older, *f.newer))
         return std::nullopt;
       const bool renamed = f.older->name != f.newer->name;
       return Finding{f.newer->line,
                      "data field " + named_field_text(*f.older) + " is now " +
                          (renamed ? named_field_text(*f.newer) : field_text(*f.newer)),
                      {},
                      uncarried_change(f)};
     }},
    {Verdict::kCompatible, "objects are unchanged; sources follow the new constant names", nullptr,
     [](const TypePair& t, const FieldPair& f) -> Found {
       if (!f.older || !f.newer || f.regrouped() || !same_layout(*f.older, *f.newer) ||
           f.older->name == f.newer->name)
         return std::nullopt;
       // Over the same bytes, fields keep their bytes whatever an old name says.
       const std::string& was = f.newer->was;
       const bool was_ignored = !was.empty() && was != f.older->name &&
                                std::any_of(t.older.fields.begin(), t.older.fields.end(),
                                            [&](const FieldLayout& o) { return o.name == was; });
       return Finding{f.newer->line,
                      "data field " + field_text(*f.newer) + " is now named " +
                          shown_name(f.newer->name) + ", was " + shown_name(f.older->name),
                      was_ignored
                          ? "objects are unchanged, so it holds what " + shown_name(f.older->name) +
                                " held, not what '" + was + "' held"
                          : ""};
     }},
    {Verdict::kCompatible, "objects are unchanged; sources follow the new fields' names", nullptr,
     [](const TypePair&, const FieldPair& f) -> Found {
       if (!f.older || !f.newer || !f.regrouped()) return std::nullopt;
       const auto items = [](const FieldLayout* first, size_t count) {
         std::string out;
         for (size_t i = 0; i < count; ++i) out += (i ? " " : "") + item_text(first[i]);
         return out;
       };
       return Finding{f.newer->line,
                      "data fields " + items(f.older, f.older_count) + " are now written " +
                          items(f.newer, f.newer_count) + " over the same bytes",
                      {}};
     }},
    {Verdict::kBreaking, "processes on the old layout still read and copy it", nullptr,
     [](const TypePair& t, const FieldPair& f) -> Found {
       if (f.newer) return std::nullopt;
       return Finding{t.newer.lines.table,
                      "data field " + named_field_text(*f.older) + " removed",
                      {},
                      uncarried_change(f)};
     }},
    {Verdict::kBreaking, "processes on the old layout neither copy it nor leave room for it",
     nullptr,
     [](const TypePair&, const FieldPair& f) -> Found {
       if (f.older) return std::nullopt;
       return Finding{f.newer->line, "data field " + named_field_text(*f.newer) + " added", {}};
     }},
    {Verdict::kBreaking, "the allocator marks the NPD area in another byte",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.npd_present != t.newer.npd_present, t.newer.lines.npd_present,
                      "npd_present at ", str(t.older.npd_present),
                      "at " + str(t.newer.npd_present));
     }},
    {Verdict::kCompatible, "affects only the tracing that names them; objects are unchanged",
     [](const TypePair& t, const Findings&) -> Found {
       if (t.older.wisp == t.newer.wisp) return std::nullopt;
       return Finding{
           t.newer.lines.wisp,
           "trace identifiers " + wisp_text(t.older.wisp) + " are now " + wisp_text(t.newer.wisp),
           {}};
     }},
    {Verdict::kCompatible, "affects only the text of its assertion report",
     [](const TypePair& t, const Findings&) {
       return check_moved<&CheckSites::fix_ptrs>("fix-up", t);
     }},
    {Verdict::kCompatible, "affects only the text of its assertion report",
     [](const TypePair& t, const Findings&) {
       return check_moved<&CheckSites::size_ptr>("size-pointer", t);
     }},
    {Verdict::kCompatible, "affects only the text of its assertion report",
     [](const TypePair& t, const Findings&) {
       return check_moved<&CheckSites::alloc>("allocation", t);
     }},
    // Reported only when no rule before it found anything.
    {Verdict::kCompatible, nullptr,
     [](const TypePair& t, const Findings& before) -> Found {
       if (!before.empty() || t.older.canonical_text.empty() || t.newer.canonical_text.empty() ||
           t.older.canonical_text == t.newer.canonical_text)
         return std::nullopt;
       return Finding{
           t.newer.lines.table, "the comments of its definition changed; its layout did not", {}};
     }},
};

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
           Uncarried::kIdToAnotherType};
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
           Uncarried::kTypeRemoved};
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
  void line(const std::string& path, Verdict verdict, const char* why, const Finding& f,
            const std::string& about, const std::string& prefix = "") {
    const bool breaking = verdict == Verdict::kBreaking;
    const std::string reason = f.why.empty() && why ? why : f.why;
    lines_.push_back({path, std::max(f.line, 1), breaking, breaking && !f.uncarried, about,
                      prefix + f.what + (reason.empty() ? "" : ": " + reason) +
                          (f.uncarried ? std::string("; ") + uncarried_text(*f.uncarried) : "")});
  }
  std::vector<CompatLine> take() { return std::move(lines_); }

 private:
  std::vector<CompatLine> lines_;
};

// Walks the rules over one type's two layouts and reports what they find.
void compare_type(const TypePair& t, Report& report) {
  Findings found;
  const auto add = [&](const Rule& rule, Found f) {
    if (!f) return;
    report.line(t.newer.path, rule.verdict, rule.why, *f, t.older.name, t.newer.name + ": ");
    found.push_back(std::move(*f));
  };
  const Rule* const end = std::end(kTypeRules);
  for (const Rule* rule = std::begin(kTypeRules); rule != end;) {
    if (rule->on_type) {
      add(*rule, rule->on_type(t, found));
      ++rule;
      continue;
    }
    const Rule* group_end = rule;
    while (group_end != end && group_end->on_field) ++group_end;
    for (const FieldPair& f : t.fields) {
      for (const Rule* r = rule; r != group_end; ++r) add(*r, r->on_field(t, f));
    }
    rule = group_end;
  }
}

}  // namespace

std::vector<CompatLine> compat_lines(const std::vector<TypeLayout>& older,
                                     const std::vector<TypeLayout>& newer) {
  Report report;
  for (const TypeMatch& m : pair_types(older, newer)) {
    if (m.older && m.newer && m.older->name == m.newer->name) {
      compare_type({*m.older, *m.newer, pair_fields(*m.older, *m.newer)}, report);
      continue;
    }
    for (const CatalogueRule& rule : kCatalogueRules) {
      if (Found f = rule.find(m))
        report.line((m.newer ? m.newer : m.older)->path, rule.verdict, rule.why, *f,
                    m.older ? m.older->name : "");
    }
  }
  return report.take();
}

}  // namespace zim_codec
