// SPDX-License-Identifier: Apache-2.0
#include "gen/check/name_rules.hpp"

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "gen/check/repeated_names.hpp"
#include "gen/names/accessor_names.hpp"
#include "gen/names/constant_names.hpp"
#include "gen/names/names.hpp"

namespace tablegen {

void check_old_names(const Definition& def, Diagnostics& diags) {
  std::map<std::string, int> claimed;
  for (const auto& item : def.fields) {
    if (item.was.empty()) continue;
    const auto error = [&](const std::string& message) {
      diags.error(def.path, item.line, message);
    };
    if (!valid_field_name(item.was)) {
      error("old field name " + quote(item.was) + " must be 1 to " + std::to_string(kMaxFieldName) +
            " characters of a-z, 0-9 and _, beginning with a letter");
    } else if (item.was == item.name) {
      error("field " + quote(item.name) + " was " + quote(item.was) +
            ": an old name differs from the field's own");
    } else if (auto [it, fresh] = claimed.emplace(item.was, item.line); !fresh) {
      error("old field name " + quote(item.was) + " is already claimed at line " +
            std::to_string(it->second));
    }
  }
}

// A type whose name begins with a reserved word is refused at its name, any
// other at each field whose names would begin with one (a field props of a
// type table makes zim_table_props_length). The type's include guard,
// ZIM_TABLES_<TYPE>_H, is the library's by design; kLibraryHeaders keeps
// it apart from the library's own guards.
void check_reserved_names(const Definition& def, Diagnostics& diags) {
  const auto theirs = [](const std::string& word) {
    return ": names zim_" + word + "_... and ZIM_" + upper(word) +
           "_... belong to the library's and the platform's headers";
  };
  if (const char* word = reserved_word("zim_" + def.name)) {
    diags.error(def.path, def.lines.table,
                "type name " + quote(def.name) + " is reserved" + theirs(word));
    return;
  }
  std::set<int> reported;
  const auto check = [&](std::string_view id, int line) {
    const char* word = reserved_word(id);
    if (word == nullptr || !reported.insert(line).second) return;
    diags.error(
        def.path, line,
        "the header of " + quote(def.name) + " would name " + std::string(id) + theirs(word));
  };
  const std::string guard = header_guard(def.name);
  for_each_function_name(def, check);
  for_each_header_name(def, [&](std::string_view id, int line) {
    if (id != guard) check(id, line);
  });
}

// The functions of every header, operations and accessors, against each other:
// a field named wisp_enums would make zim_<type>_get_wisp_enums,
// and field bar_copy_ctor of type foo the copy constructor of type foo_get_bar.
// Operations are placed first, so a field that meets one is reported at the
// field's own line whichever type comes first; each pair of lines once.
void check_function_names(const std::vector<Definition>& defs, Diagnostics& diags) {
  struct Owner {
    const Definition* def;
    int line;
  };
  // Only a name that occurs twice can clash: those, in catalogue order.
  size_t expected = 0;
  for (const auto& def : defs) expected += kOperations.size() + 1 + 5 * def.fields.size();
  RepeatedNames repeated(expected);
  for (const auto& def : defs) {
    for_each_function_name(def, [&](std::string_view id, int) { repeated.add(id); });
  }
  repeated.seal();
  struct Name {
    std::string id;
    Owner at;
  };
  std::vector<Name> names;
  for (const auto& def : defs) {
    for_each_function_name(def, [&](std::string_view id, int line) {
      if (repeated.may_repeat(id)) names.push_back({std::string(id), {&def, line}});
    });
  }
  std::map<std::string, Owner> owner;
  std::set<std::tuple<const Definition*, int, const Definition*, int>> reported;
  for (const bool accessors : {false, true}) {
    for (const auto& [id, at] : names) {
      const auto& [def, line] = at;
      if ((line != def->lines.table) != accessors) continue;
      const auto [it, fresh] = owner.emplace(id, at);
      const Owner& first = it->second;
      if (fresh || !reported.emplace(def, line, first.def, first.line).second) continue;
      const std::string other = first.def == def
                                    ? "it declares too"
                                    : "the header of " + quote(first.def->name) + " declares too";
      diags.error(
          def->path, line,
          "the header of " + quote(def->name) + " would declare " + id + ", which " + other);
      diags.note(first.def->path, first.line, "declared here");
    }
  }
}

}  // namespace tablegen
