// SPDX-License-Identifier: Apache-2.0
#include "gen/check/validator.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "gen/check/name_rules.hpp"
#include "gen/names/constant_names.hpp"
#include "gen/names/names.hpp"
#include "gen/read/flag_placement.hpp"
#include "gen/text/limits.hpp"

namespace tablegen {
namespace {

std::string num(uint64_t v) { return std::to_string(v); }

// Whether a field at `offset` may follow a field ending at `end`: directly, or
// after the padding to its own alignment of 2, 4 or 8 bytes, which is the only
// padding a layout has between fields.
bool padding_is_alignment(uint64_t end, uint64_t offset) {
  if (offset == end) return true;
  for (uint64_t alignment : {2, 4, 8}) {
    if (offset == round_up(end, alignment)) return true;
  }
  return false;
}

// Every check is made on values the parser has bounded, in 64 bits, so no
// sum or product below can wrap whatever the definition holds.
class DefinitionChecker {
 public:
  DefinitionChecker(const Definition& def, Diagnostics& diags) : def_(def), diags_(diags) {}

  void run() {
    check_name_and_file();
    const uint64_t header_end = check_header();
    check_fields(header_end);
    check_flag_area();
    check_dynamic_area();
    check_class();
    check_field_names();
  }

 private:
  void error(int line, const std::string& message) { diags_.error(def_.path, line, message); }

  void check_name_and_file() {
    if (!valid_type_name(def_.name)) {
      error(def_.lines.table, "type name " + quote(def_.name) +
                                  " must be 3 to 22 characters of a-z, 0-9 and _, "
                                  "beginning with a letter");
      return;
    }
    const std::string expected = definition_file_name(def_.table_id, def_.name);
    if (def_.file_name != expected) {
      error(def_.lines.table, "file name must be '" + expected +
                                  "' (table id, then type name), not " + quote(def_.file_name));
    }
  }

  // Returns the first byte after the type header.
  uint64_t check_header() {
    const int line = def_.lines.header;
    if (def_.header.size() < kMinHeaderFields || def_.header.size() > kMaxHeaderFields) {
      error(line, "a type header has 2 to 5 fields, found " + num(def_.header.size()));
    }
    auto sorted = def_.header;
    std::sort(sorted.begin(), sorted.end(),
              [](const HeaderField& a, const HeaderField& b) { return a.offset < b.offset; });
    uint64_t end = kBaseHeaderSize;
    for (const auto& f : sorted) {
      const std::string text = "header field " + item_text(f);
      if (f.width != 1 && f.width != 2 && f.width != 4 && f.width != 8) {
        error(line, text + " must be 1, 2, 4 or 8 bytes wide");
      } else if (f.offset % f.width != 0) {
        error(line, text + " must lie at a multiple of its width");
      }
      if (f.offset < end) {
        error(line, text + (end == kBaseHeaderSize ? " lies inside the 192-byte base header"
                                                   : " overlaps the header field before it"));
      }
      end = std::max(end, uint64_t{f.offset} + f.width);
    }
    if (def_.count_field) {
      const bool in_header = std::any_of(
          def_.header.begin(), def_.header.end(),
          [&](const HeaderField& f) { return f.offset == *def_.count_field && f.width == 4; });
      if (!in_header) {
        error(def_.lines.count_field, "count field " + num(*def_.count_field) +
                                          " must be a 4-byte field of the type header");
      }
    }
    return end;
  }

  void check_fields(uint64_t header_end) {
    uint64_t previous_end = header_end;
    std::string previous = "the type header";
    for (const auto& item : def_.fields) {
      const std::string text = "field " + item_text(item);
      if (item.width == 0 || item.run_length == 0) error(item.line, text + " has no bytes");
      if (item.is_array() && item.offset % 8 != 0) {
        error(item.line, "array " + text + ": its data pointer must be 8-aligned");
      }
      if (item.end() > kMaxFixedSize) {
        error(item.line, text + " ends at " + num(item.end()) +
                             ", beyond the largest fixed part of " + num(kMaxFixedSize) + " bytes");
      }
      if (item.offset < previous_end) {
        error(item.line, text + " overlaps " + previous + ", which ends at " + num(previous_end));
      } else if (item.offset - previous_end > 7) {
        error(item.line, text + " leaves a gap of " + num(item.offset - previous_end) +
                             " bytes after " + previous + "; alignment needs at most 7");
      } else if (!padding_is_alignment(previous_end, item.offset)) {
        error(item.line, text + " leaves a gap of " + num(item.offset - previous_end) +
                             " bytes after " + previous +
                             " that no alignment of 2, 4 or 8 bytes explains");
      }
      previous_end = std::max(previous_end, item.end());
      previous = text;
    }
  }

  void check_flag_area() {
    if (def_.fields.empty()) return;
    const FlagPlacement flags = place_flags(def_.fields);
    if (def_.flags_at != flags.flags_start) {
      error(def_.lines.flags_at, "presence-flag area must start at " + num(flags.flags_start) +
                                     ", the first byte after the last data field, not " +
                                     num(def_.flags_at));
      return;
    }
    if (def_.fixed_size != flags.fixed_size) {
      error(def_.lines.fixed_size, "fixed size must be " + num(flags.fixed_size) +
                                       ", the smallest multiple of 8 above npd_present at " +
                                       num(flags.npd_present) + ", not " + num(def_.fixed_size));
    }
    if (flags.fixed_size > kMaxFixedSize) {
      error(def_.lines.fixed_size, "the presence flags end beyond the largest fixed part of " +
                                       num(kMaxFixedSize) + " bytes");
    }
  }

  // Positions in the dynamic area are fixed size + NPD size + count x (sum
  // over counted arrays) + N x (sum over per-NPU arrays), with a 32-bit count,
  // N and NPD size. With the sums bounded so, they never wrap 64 bits, and a
  // layout past 32 bits always fails its size check instead of passing with
  // pointers outside the object.
  void check_dynamic_area() {
    uint64_t one_of_each = def_.fixed_size;
    for (const auto& item : def_.fields) {
      if (!item.is_array()) continue;
      one_of_each += uint64_t{item.width} + 1;
      if (one_of_each > kMaxOneOfEach) {
        error(item.line, "array " + item_text(item) +
                             ": the fixed part and one element of every array up to here, "
                             "with its flag, make " +
                             num(one_of_each) + " bytes, more than a 32-bit object holds");
        return;
      }
    }
  }

  void check_class() {
    int per_npu = 0, counted = 0;
    for (const auto& item : def_.fields) {
      per_npu += item.kind == ItemKind::kPerNpuArray;
      counted += item.kind == ItemKind::kCountedArray;
    }
    const bool has_count = def_.count_field.has_value();
    const int line = def_.lines.type_class;
    const std::string cls = std::string("class ") + class_keyword(def_.type_class);
    auto expect = [&](bool ok, const std::string& why) {
      if (!ok) error(line, cls + " " + why);
    };
    switch (def_.type_class) {
      case TypeClass::kFixed:
        expect(per_npu + counted == 0, "takes no array fields");
        expect(!has_count, "takes no count (remove 'count_field')");
        expect(!def_.size_check, "needs 'size_check off'");
        break;
      case TypeClass::kSizeChecked:
        expect(per_npu + counted == 0, "takes no array fields");
        expect(!has_count, "takes no count (remove 'count_field')");
        expect(def_.size_check, "needs 'size_check on'");
        break;
      case TypeClass::kPerNpu:
        expect(per_npu > 0, "needs at least one per-NPU array field (off:exN)");
        expect(counted == 0, "takes no counted array fields (use class counted)");
        expect(!has_count, "takes no count (remove 'count_field')");
        expect(def_.size_check, "needs 'size_check on'");
        break;
      case TypeClass::kCounted:
        expect(counted > 0, "needs at least one counted array field (off:exC)");
        expect(has_count, "needs 'count_field'");
        expect(def_.size_check, "needs 'size_check on'");
        break;
      case TypeClass::kCountOnly:
        expect(per_npu + counted == 0, "takes no array fields");
        expect(has_count, "needs 'count_field'");
        expect(!def_.size_check, "needs 'size_check off'");
        break;
    }
  }

  // Names become parts of C identifiers: each is a lowercase identifier, used
  // once per type, and no two fields may yield the same constant.
  void check_field_names() {
    std::map<std::string, int> seen;
    bool names_ok = true;
    for (const auto& item : def_.fields) {
      if (item.name.empty()) continue;
      if (!valid_field_name(item.name)) {
        names_ok = false;
        error(item.line, "field name " + quote(item.name) + " must be 1 to " + num(kMaxFieldName) +
                             " characters of a-z, 0-9 and _, beginning with a letter");
      } else if (auto [it, fresh] = seen.emplace(item.name, item.line); !fresh) {
        names_ok = false;
        error(item.line,
              "field name " + quote(item.name) + " is already used at line " + num(it->second));
      }
    }
    if (!names_ok) return;
    std::map<std::string, int> ids;
    for (const auto& [id, line] : header_names(def_)) {
      if (auto [it, fresh] = ids.emplace(id, line); !fresh) {
        error(line, "the field names make the header define " + id + " twice");
        diags_.note(def_.path, it->second, "first defined for this field");
      }
    }
  }

  const Definition& def_;
  Diagnostics& diags_;
};

// What only the whole catalogue shows, gathered one definition at a time.
class CatalogueChecker {
 public:
  explicit CatalogueChecker(Diagnostics& diags) : diags_(diags) {}

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
    for (const auto& [id, line] : header_names(def)) {
      auto [it, fresh] = identifier_owner_.emplace(id, Owner{&def, line});
      const Owner& owner = it->second;
      if (fresh || owner.def == &def || !clashes.insert(owner.def).second) continue;
      diags_.error(def.path, line,
                   "the header of " + quote(def.name) + " would define " + id +
                       ", which the header of " + quote(owner.def->name) + " defines too");
      diags_.note(owner.def->path, owner.line, "defined here");
    }
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
  Diagnostics& diags_;
  std::map<uint32_t, const Definition*> by_id_;
  std::map<std::string, const Definition*> by_name_;
  std::map<uint32_t, const Definition*> wisp_owner_;
  std::map<std::string, Owner> identifier_owner_;
};

}  // namespace

void validate_definition(const Definition& def, Diagnostics& diags) {
  DefinitionChecker(def, diags).run();
  check_old_names(def, diags);
}

void validate_catalogue(const std::vector<Definition>& defs, Diagnostics& diags) {
  CatalogueChecker checker(diags);
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
