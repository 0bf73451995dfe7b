// SPDX-License-Identifier: Apache-2.0
// The compatibility rules of one type as data: each rule finds one kind of
// change between the older and the newer layout of a type, and states whether
// processes on the older layout can still share objects with the newer and
// why, and for a breaking change whether a migration of the objects carries
// it (the rules of migration_plan.hpp). Pairing (of data fields,
// field_pairing.hpp) is a step of its own, ahead of the rules, which only
// read the pairs it gives.
#include <algorithm>
#include <optional>
#include <string>

#include "codec/compat_finding.hpp"

namespace zim_codec {
namespace {

std::string str(uint32_t v) { return std::to_string(v); }

// The two layouts of one type, with their data fields paired.
struct TypePair {
  const TypeLayout& older;
  const TypeLayout& newer;
  std::vector<FieldPair> fields;
  std::vector<UnpairedRename> renames;
};

using Found = std::optional<Finding>;

// One rule: what changed, found on the type as a whole or on one pair of its
// data fields, whether that breaks sharing objects, and why (null: the
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

// "WHAT OLD is now NEW" at line, when the two differ; each side's view is
// "VERB SUBJECTOLD" and "VERB NEW".
Found changed(bool differs, int line, const std::string& what, const std::string& was,
              const std::string& is, const std::string& verb, const std::string& subject,
              std::optional<Uncarried> uncarried = std::nullopt) {
  if (!differs) return std::nullopt;
  return Finding{line,      what + was + " is now " + is, {},
                 uncarried, verb + " " + subject + was,   verb + " " + is};
}

Found type_fact(Found f) {
  if (f) f->follows = Follows::kTypeFact;
  return f;
}

// The rename that lacks its `was` which the older or the newer field is part of.
const UnpairedRename* rename_of(const TypePair& t, const FieldLayout* field) {
  const auto it = std::find_if(t.renames.begin(), t.renames.end(), [&](const UnpairedRename& r) {
    return r.first == field || r.second == field;
  });
  return it == t.renames.end() ? nullptr : &*it;
}

// A data field at other bytes or in another shape, as each side has it.
Finding field_changed(const TypePair& t, const FieldPair& f) {
  const FieldLayout &was = *f.older, &is = *f.newer;
  const bool renamed = was.name != is.name;
  Finding found{is.line,
                "data field " + named_field_text(was) + " is now " +
                    (renamed ? named_field_text(is) : field_text(is)),
                {},
                uncarried_change(f)};
  const std::string subject = field_word(t.older, was);
  const std::string again = renamed ? field_word(t.newer, is) + " " : "";
  if (was.width != is.width && was.kind == is.kind && was.run_length == is.run_length) {
    const char* unit = was.is_array() ? " elements " : " ";
    found.older_has = "have " + subject + unit + str(was.width) + " bytes wide";
    found.newer_has = "have " + again + str(is.width);
    return found;
  }
  found.older_has = "have " + subject + " at " + field_text(was);
  found.newer_has = "have " + (renamed ? again + "at " : "it at ") + field_text(is);
  const bool same_shape =
      was.kind == is.kind && was.width == is.width && was.run_length == is.run_length;
  if (same_shape && !renamed && !found.uncarried)
    found.follows = was.offset == is.offset ? Follows::kFlagMove : Follows::kFieldMove;
  return found;
}

// A removed field and an added one over its bytes: the `was` that would pair them.
Finding rename_without_was(const TypePair& t, const FieldLayout& was, const FieldLayout& is) {
  return Finding{is.line,
                 "data field " + named_field_text(was) + " removed and " + named_field_text(is) +
                     " added over its bytes",
                 "renamed without `was`? its values will be dropped; to keep them, write `field " +
                     item_text(is) + " " + is.name + " was " + was.name + "`",
                 std::nullopt,
                 "have " + field_word(t.older, was) + " at " + item_text(was),
                 "have " + field_word(t.newer, is) + " there instead (renamed without `was`?)"};
}

// A check site of the unit, by the word its report uses for it.
template <CheckSite CheckSites::*kSite>
Found check_moved(const char* name, const TypePair& t) {
  const uint32_t was = (t.older.checks.*kSite).line, is = (t.newer.checks.*kSite).line;
  if (was == is) return std::nullopt;
  Finding f{t.newer.lines.checks,
            std::string("the ") + name + " check now reports line " + line_text(is) +
                " instead of " + line_text(was),
            {}};
  f.follows = Follows::kCheckLine;
  return f;
}

using Findings = std::vector<Finding>;

// The rules of one type, in the order of its report. Consecutive field rules
// are walked field pair by field pair.
const Rule kTypeRules[] = {
    {Verdict::kBreaking, "its objects are sought in another table's pool and records",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.table_id != t.newer.table_id, t.newer.lines.id, "table id ",
                      str(t.older.table_id), str(t.newer.table_id), "have", "table id ",
                      Uncarried::kTableIdChanged);
     }},
    {Verdict::kBreaking, "the operations lay out, size and check its objects differently",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.type_class != t.newer.type_class, t.newer.lines.type_class, "class ",
                      class_keyword(t.older.type_class), class_keyword(t.newer.type_class),
                      "are of class", "", Uncarried::kClassChanged);
     }},
    {Verdict::kBreaking, "the NPD area and every array move",
     [](const TypePair& t, const Findings&) {
       return type_fact(changed(t.older.fixed_size != t.newer.fixed_size, t.newer.lines.fixed_size,
                                "fixed size ", str(t.older.fixed_size), str(t.newer.fixed_size),
                                "have", "a fixed size of "));
     }},
    {Verdict::kBreaking,
     "constructors take other arguments and the element count is read elsewhere",
     [](const TypePair& t, const Findings&) {
       return changed(t.older.count_field != t.newer.count_field, t.newer.lines.count_field, "",
                      count_text(t.older.count_field), count_text(t.newer.count_field), "have", "",
                      Uncarried::kCountChanged);
     }},
    {Verdict::kBreaking, "the pointer fix-up judges the same objects differently",
     [](const TypePair& t, const Findings&) -> Found {
       if (t.older.size_check == t.newer.size_check) return std::nullopt;
       const char* on = t.newer.size_check ? "on" : "off";
       return Finding{t.newer.lines.size_check,
                      std::string("size check switched ") + on,
                      {},
                      std::nullopt,
                      std::string("have the size check ") + (t.newer.size_check ? "off" : "on"),
                      std::string("have it ") + on};
     }},
    {Verdict::kBreaking, "the platform reads that bit of every object of the type",
     [](const TypePair& t, const Findings&) -> Found {
       if (t.older.sets_obj_flags_bit5 == t.newer.sets_obj_flags_bit5) return std::nullopt;
       const char* is = t.newer.sets_obj_flags_bit5 ? "set" : "cleared";
       return Finding{t.newer.lines.obj_flags_bit5,
                      std::string("bit 5 of obj_flags is now ") + is,
                      {},
                      std::nullopt,
                      std::string("have bit 5 of obj_flags ") +
                          (t.newer.sets_obj_flags_bit5 ? "cleared" : "set"),
                      std::string("have it ") + is};
     }},
    {Verdict::kBreaking, "the header copies move other bytes, in another order",
     [](const TypePair& t, const Findings&) {
       return changed(!same_header(t.older.header, t.newer.header), t.newer.lines.header,
                      "type header ", header_text(t.older.header), header_text(t.newer.header),
                      "have", "the type header ", Uncarried::kHeaderShape);
     }},
    {Verdict::kBreaking, "processes on the old layout read and copy other bytes", nullptr,
     [](const TypePair& t, const FieldPair& f) -> Found {
       if (!f.older || !f.newer || f.regrouped() || same_layout(*f.older, *f.newer))
         return std::nullopt;
       return field_changed(t, f);
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
       if (f.newer || rename_of(t, f.older)) return std::nullopt;
       return Finding{t.newer.lines.table,
                      "data field " + named_field_text(*f.older) + " removed",
                      {},
                      uncarried_change(f),
                      "have " + field_word(t.older, *f.older) + " at " + item_text(*f.older),
                      "have no such field"};
     }},
    {Verdict::kBreaking, "processes on the old layout neither copy it nor leave room for it",
     nullptr,
     [](const TypePair& t, const FieldPair& f) -> Found {
       if (f.older) return std::nullopt;
       if (const UnpairedRename* r = rename_of(t, f.newer))
         return rename_without_was(t, *r->first, *f.newer);
       return Finding{f.newer->line,
                      "data field " + named_field_text(*f.newer) + " added",
                      {},
                      std::nullopt,
                      "have no " + std::string(f.newer->name.empty() ? "" : "field ") +
                          field_word(t.newer, *f.newer),
                      "have it at " + field_text(*f.newer)};
     }},
    {Verdict::kBreaking, "the allocator marks the NPD area in another byte",
     [](const TypePair& t, const Findings&) {
       return type_fact(changed(t.older.npd_present != t.newer.npd_present,
                                t.newer.lines.npd_present, "npd_present at ",
                                str(t.older.npd_present), "at " + str(t.newer.npd_present),
                                "mark their NPD area", "at "));
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

}  // namespace

std::vector<RuledFinding> type_findings(const TypeLayout& older, const TypeLayout& newer) {
  TypePair t{older, newer, pair_fields(older, newer), {}};
  t.renames = unpaired_renames(t.fields);
  std::vector<RuledFinding> out;
  Findings found;
  const auto add = [&](const Rule& rule, Found f) {
    if (!f) return;
    found.push_back(*f);
    out.push_back({rule.verdict, rule.why, std::move(*f)});
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
  return out;
}

}  // namespace zim_codec
