// SPDX-License-Identifier: Apache-2.0
#include "gen/check/validator.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "codec/layout_rules.hpp"
#include "gen/check/name_rules.hpp"
#include "gen/check/repeated_names.hpp"
#include "gen/names/constant_names.hpp"
#include "gen/names/names.hpp"

namespace tablegen {
namespace {

std::string num(uint64_t v) { return std::to_string(v); }

// Every check is made on values the parser has bounded, in 64 bits, so no
// sum or product below can wrap whatever the definition holds.
class DefinitionChecker {
 public:
  DefinitionChecker(const Definition& def, Diagnostics& diags) : def_(def), diags_(diags) {}

  void run() {
    check_name_and_file();
    check_layout_rules(def_, def_.fields, report_);
    check_field_names();
  }

 private:
  void error(int line, const std::string& message) { diags_.error(def_.path, line, message); }

  void check_name_and_file() {
    if (!check_type_name(def_, report_)) return;
    const std::string expected = definition_file_name(def_.table_id, def_.name);
    if (def_.file_name != expected) {
      error(def_.lines.table, "file name must be '" + expected +
                                  "' (table id, then type name), not " + quote(def_.file_name));
    }
  }

  // Names become parts of C identifiers: each is a lowercase identifier, used
  // once per type, and no two fields may yield the same constant.
  void check_field_names() {
    if (!zim_codec::check_field_names(def_.fields, report_)) return;
    const std::vector<HeaderName> names = header_names(def_);
    std::unordered_map<std::string_view, int> ids(names.size());
    for (const auto& [id, line] : names) {
      if (auto [it, fresh] = ids.emplace(id, line); !fresh) {
        error(line, "the field names make the header define " + id + " twice");
        diags_.note(def_.path, it->second, "first defined for this field");
      }
    }
  }

  const Definition& def_;
  Diagnostics& diags_;
  const Report report_ = [this](int line, const std::string& message) { error(line, message); };
};

// What only the whole catalogue shows, gathered one definition at a time.
class CatalogueChecker {
 public:
  // Every header identifier of defs, of which only those that repeat can clash.
  CatalogueChecker(const std::vector<Definition>& defs, Diagnostics& diags)
      : diags_(diags), repeated_(expected_header_names(defs)) {
    for (const auto& def : defs) {
      for_each_header_name(def, [&](std::string_view id, int) { repeated_.add(id); });
    }
    repeated_.seal();
  }

  // The type's header against the library's headers and the other types'.
  void check_names(const Definition& def) {
    for (const char* reserved : kLibraryHeaders) {
      if (def.name == reserved) {
        diags_.error(def.path, def.lines.table,
                     "type name " + quote(def.name) + " is reserved for a header of the library");
      }
    }
    check_reserved_names(def, diags_);
    // Each clash between two types is reported once, at the later one.
    std::set<const Definition*> clashes;
    for_each_header_name(def, [&](std::string_view id, int line) {
      if (!repeated_.may_repeat(id)) return;
      auto [it, fresh] = identifier_owner_.emplace(id, Owner{&def, line});
      const Owner& owner = it->second;
      if (fresh || owner.def == &def || !clashes.insert(owner.def).second) return;
      diags_.error(def.path, line,
                   "the header of " + quote(def.name) + " would define " + std::string(id) +
                       ", which the header of " + quote(owner.def->name) + " defines too");
      diags_.note(owner.def->path, owner.line, "defined here");
    });
  }

  // Its id, name and trace identifiers, each owned by one type.
  void check_unique(const Definition& def) {
    if (auto [it, fresh] = by_id_.emplace(def.table_id, &def); !fresh) {
      diags_.error(def.path, def.lines.id, "duplicate table id " + num(def.table_id));
      diags_.note(it->second->path, it->second->lines.id, "first used here");
    }
    if (auto [it, fresh] = by_name_.emplace(def.name, &def); !fresh) {
      diags_.error(def.path, def.lines.table, "duplicate type name " + quote(def.name));
      diags_.note(it->second->path, it->second->lines.table, "first used here");
    }
    // A type may repeat its own identifiers; each clash is reported once.
    for (uint32_t value : std::set<uint32_t>(def.wisp.begin(), def.wisp.end())) {
      auto [it, fresh] = wisp_owner_.emplace(value, &def);
      if (!fresh && it->second != &def) {
        diags_.error(def.path, def.lines.wisp,
                     "trace identifier " + num(value) + " already belongs to type " +
                         quote(it->second->name));
        diags_.note(it->second->path, it->second->lines.wisp, "used here");
      }
    }
  }

  // Ids run from the lowest, one per definition. With unique ids, every id at
  // or past the lowest plus their number leaves a gap below it: blame the
  // definition that holds such an id, not a neighbour.
  void check_ids_dense(uint64_t size) {
    const uint64_t first = by_id_.empty() ? 0 : by_id_.begin()->first, end = first + size;
    std::string missing;
    for (uint64_t id = first, found = 0; id < end && found < 4; ++id) {
      if (by_id_.count(static_cast<uint32_t>(id)) == 0) {
        missing += (found++ ? ", " : "") + num(id);
      }
    }
    for (auto it = by_id_.lower_bound(static_cast<uint32_t>(std::min<uint64_t>(end, UINT32_MAX)));
         it != by_id_.end(); ++it) {
      const Definition& def = *it->second;
      diags_.error(def.path, def.lines.id,
                   "table id " + num(def.table_id) + " lies outside the catalogue: " + num(size) +
                       " definitions take the ids " + num(first) + " to " + num(end - 1) +
                       ", and no definition has id " + missing);
    }
  }

 private:
  struct Owner {
    const Definition* def;
    int line;
  };
  // At most as many as for_each_header_name gives.
  static size_t expected_header_names(const std::vector<Definition>& defs) {
    size_t names = 0;
    for (const auto& def : defs) names += 16 + 2 * def.header.size() + 6 * def.fields.size();
    return names;
  }

  Diagnostics& diags_;
  RepeatedNames repeated_;
  std::map<uint32_t, const Definition*> by_id_;
  std::map<std::string, const Definition*> by_name_;
  std::map<uint32_t, const Definition*> wisp_owner_;
  std::map<std::string, Owner, std::less<>> identifier_owner_;
};

}  // namespace

void validate_definition(const Definition& def, Diagnostics& diags) {
  DefinitionChecker(def, diags).run();
  check_old_names(def, diags);
}

void validate_catalogue(const std::vector<Definition>& defs, Diagnostics& diags) {
  CatalogueChecker checker(defs, diags);
  for (const auto& def : defs) {
    checker.check_names(def);
    checker.check_unique(def);
  }
  checker.check_ids_dense(defs.size());
  // After every other rule: a definition already refused (say, for a field
  // name given twice) would only be reported again.
  if (!diags.has_errors()) check_function_names(defs, diags);
}

}  // namespace tablegen
