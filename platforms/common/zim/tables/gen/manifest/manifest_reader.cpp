// SPDX-License-Identifier: Apache-2.0
// Reads a layout manifest back, strictly: it is generated text.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "gen/check/validator.hpp"
#include "gen/layout/plan.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/manifest/manifest_words.hpp"
#include "gen/read/flag_placement.hpp"
#include "gen/text/limits.hpp"
#include "gen/text/words.hpp"

namespace tablegen {
namespace {

// The lines of a record, in the order manifest_text writes them; field and
// array lines repeat.
enum class Key {
  kType,
  kClass,
  kFixedSize,
  kCountField,
  kSizeCheck,
  kObjFlagsBit5,
  kHeader,
  kField,
  kNpdPresent,
  kDynamic,
  kCheckFixPtrs,
  kCheckSizePtr,
  kCheckAlloc,
  kWisp,
  kDone
};

constexpr const char* kKeyText[] = {
    "type",           "class",          "fixed_size",  "count_param", "size_check",
    "obj_flags_bit5", "header",         "field",       "npd_present", "dynamic",
    "check fix_ptrs", "check size_ptr", "check alloc", "wisp",        "type"};
static_assert(std::size(kKeyText) == static_cast<size_t>(Key::kDone) + 1);

const char* key_text(Key key) { return kKeyText[static_cast<int>(key)]; }

std::optional<Key> key_of(const std::vector<std::string>& words) {
  const std::string& w = words[0];
  if (w == "check") {
    if (words.size() < 2) return std::nullopt;
    if (words[1] == "fix_ptrs") return Key::kCheckFixPtrs;
    if (words[1] == "size_ptr") return Key::kCheckSizePtr;
    if (words[1] == "alloc") return Key::kCheckAlloc;
    return std::nullopt;
  }
  if (w == "field" || w == "array") return Key::kField;
  for (int k = 0; k <= static_cast<int>(Key::kWisp); ++k) {
    if (w == kKeyText[k]) return static_cast<Key>(k);
  }
  return std::nullopt;
}

// One type record while it is read: the definition that would have produced
// it, which the definition rules judge, and the facts the record states that
// follow from the definition, which must be what the planner derives.
struct Record {
  Definition def;
  FactLines lines;
  std::vector<uint32_t> flag_at;  // per field
  uint32_t npd_present = 0;
  std::vector<uint32_t> dynamic;
  CheckSites checks;
  int dynamic_line = 0;
  std::array<int, 3> check_lines{};
  Key next = Key::kClass;
  bool broken = false;  // an error was reported; the rest of the record is skipped
};

// Reads a manifest strictly: it is generated text, so every line must be
// what the generator writes, in its order, with every number bounded as a
// definition's is. Each record is then judged by the rules a definition must
// pass, and every fact the generator derives (flag positions, npd_present,
// check lines, prototypes) must equal what the record's fields give, so a
// manifest can only describe a layout that some definition produces.
class ManifestReader {
 public:
  ManifestReader(const std::string& path, Diagnostics& diags) : path_(path), diags_(diags) {}

  std::optional<std::vector<TypeLayout>> run(std::string_view rest) {
    const size_t errors_before = diags_.error_count();
    for (int number = 1; !rest.empty(); ++number) {
      const size_t newline = rest.find('\n');
      const std::string_view line = rest.substr(0, newline);
      rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
      const size_t first = line.find_first_not_of(" \t\r\v\f");
      if (first == std::string_view::npos || line[first] == '#') continue;
      if (!words_.plain_text(number, line)) continue;
      parse_line(number, split_words(line), line);
    }
    finish_record();
    if (defs_.empty() && diags_.error_count() == errors_before) {
      fail(1, "no 'type' records: not a layout manifest");
    }
    if (diags_.error_count() != errors_before) return std::nullopt;
    validate_catalogue(defs_, diags_);
    if (diags_.error_count() != errors_before) return std::nullopt;
    return std::move(layouts_);
  }

 private:
  void fail(int line, const std::string& message) {
    diags_.error(path_, line, message);
    if (current_) current_->broken = true;
  }

  bool offset(int line, const std::string& word, const std::string& what, uint32_t& out) {
    return words_.number(line, word, kMaxFixedSize, what, out);
  }

  void start_record(int line, const std::vector<std::string>& words) {
    finish_record();
    current_.emplace();
    Record& r = *current_;
    r.def.path = path_;
    r.lines.table = r.lines.id = r.def.lines.table = r.def.lines.id = line;
    uint32_t id = 0;
    if (words.size() != 3) return fail(line, "expected 'type ID NAME'");
    if (!words_.number(line, words[1], kMaxTableId, "table id", id)) return;
    if (!defs_.empty() && id < defs_.back().table_id) {
      return fail(line, "type records must come in table-id order: id " + std::to_string(id) +
                            " follows id " + std::to_string(defs_.back().table_id));
    }
    r.def.table_id = id;
    r.def.name = words[2];
  }

  void parse_line(int line, const std::vector<std::string>& words, std::string_view text) {
    const std::optional<Key> key = key_of(words);
    if (key == Key::kType) return start_record(line, words);
    if (!current_) return fail(line, "expected 'type ID NAME' first");
    Record& r = *current_;
    if (r.broken) return;
    if (!key) return fail(line, "unknown key " + quote(words[0]));
    const bool fields_go_on =
        *key == Key::kField && r.next == Key::kNpdPresent && !r.def.fields.empty();
    if (*key != r.next && !fields_go_on) {
      const std::string found = words[0] == "check" ? words[0] + " " + words[1] : words[0];
      if (r.next == Key::kDone) {
        return fail(line, "expected the next 'type' record, found " + quote(found));
      }
      return fail(line,
                  "expected '" + std::string(key_text(r.next)) + "' here, found " + quote(found));
    }
    Definition& t = r.def;
    std::vector<uint32_t> v;
    switch (*key) {
      case Key::kType:
      case Key::kDone:
        break;
      case Key::kClass: {
        t.lines.type_class = r.lines.type_class = line;
        bool known = false;
        for (const auto& [cls, word] : kClassKeywords) {
          if (words.size() == 2 && words[1] == word) t.type_class = cls, known = true;
        }
        if (!known) return fail(line, "malformed 'class' line");
        break;
      }
      case Key::kFixedSize:
        t.lines.fixed_size = r.lines.fixed_size = line;
        if (!words_.pattern(line, words, {{nullptr, kMaxFixedSize, "fixed size"}}, v)) return;
        t.fixed_size = v[0];
        break;
      case Key::kCountField:
        t.lines.count_field = r.lines.count_field = line;
        if (words.size() == 2 && words[1] == "off") break;
        if (!words_.pattern(line, words, {{"on", 0, ""}, {nullptr, kMaxFixedSize, "count field"}},
                            v)) {
          return;
        }
        t.count_field = v[0];
        break;
      case Key::kSizeCheck:
      case Key::kObjFlagsBit5: {
        const bool size_check = *key == Key::kSizeCheck;
        (size_check ? t.lines.size_check : t.lines.obj_flags_bit5) = line;
        (size_check ? r.lines.size_check : r.lines.obj_flags_bit5) = line;
        const char* yes = size_check ? "on" : "set";
        const char* no = size_check ? "off" : "clear";
        if (words.size() != 2 || (words[1] != yes && words[1] != no)) {
          return fail(line,
                      "malformed '" + words[0] + "' line: expected '" + yes + "' or '" + no + "'");
        }
        (size_check ? t.size_check : t.sets_obj_flags_bit5) = words[1] == yes;
        break;
      }
      case Key::kHeader:
        t.lines.header = r.lines.header = line;
        if (words.size() - 1 > kMaxHeaderFields) {
          return fail(line,
                      "a type header has 2 to 5 fields, found " + std::to_string(words.size() - 1));
        }
        for (size_t i = 1; i < words.size(); ++i) {
          const size_t colon = words[i].find(':');
          HeaderField f;
          if (colon == std::string::npos) {
            return fail(line, "malformed header field " + quote(words[i]) + ": expected off:w");
          }
          if (!offset(line, words[i].substr(0, colon), "header field offset", f.offset) ||
              !offset(line, words[i].substr(colon + 1), "header field width", f.width)) {
            return;
          }
          t.header.push_back(f);
        }
        break;
      case Key::kField:
        if (!parse_field(line, words)) return;
        break;
      case Key::kNpdPresent:
        r.lines.npd_present = line;
        if (!words_.pattern(line, words, {{nullptr, kMaxFixedSize, "npd_present offset"}}, v))
          return;
        r.npd_present = v[0];
        break;
      case Key::kDynamic:
        r.dynamic_line = line;
        if (words.size() == 2 && words[1] == "none") break;
        for (size_t i = 1; i < words.size(); ++i) {
          uint32_t at = 0;
          if (!offset(line, words[i], "data pointer", at)) return;
          r.dynamic.push_back(at);
        }
        if (r.dynamic.empty())
          return fail(line, "malformed 'dynamic' line: expected offsets or 'none'");
        break;
      case Key::kCheckFixPtrs:
      case Key::kCheckSizePtr:
      case Key::kCheckAlloc:
        if (!parse_check(line, *key, words, text)) return;
        break;
      case Key::kWisp: {
        t.lines.wisp = r.lines.wisp = line;
        constexpr ManifestWords::Slot kId{nullptr, kMaxWisp, "trace identifier"};
        if (!words_.pattern(line, words, {kId, kId, kId, kId, kId, kId}, v)) return;
        std::copy(v.begin(), v.end(), t.wisp.begin());
        break;
      }
    }
    if (*key != Key::kField) r.next = static_cast<Key>(static_cast<int>(*key) + 1);
    if (*key == Key::kHeader) r.next = Key::kField;
    if (*key == Key::kField) r.next = Key::kNpdPresent;
  }

  // "field OFFSET width W run N flag F" or "array DATA_PTR KIND elem E
  // flag_ptr F", either with "name NAME" at the end for a named field.
  bool parse_field(int line, std::vector<std::string> words) {
    FieldItem f;
    uint32_t flag_at = 0;
    f.line = line;
    if (words.size() > 2 && words[words.size() - 2] == "name") {
      f.name = words.back();
      words.resize(words.size() - 2);
    }
    std::vector<uint32_t> v;
    if (words[0] == "field") {
      if (!words_.pattern(line, words,
                          {{nullptr, kMaxFixedSize, "field offset"},
                           {"width", 0, ""},
                           {nullptr, kMaxFixedSize, "field width"},
                           {"run", 0, ""},
                           {nullptr, kMaxFixedSize, "run length"},
                           {"flag", 0, ""},
                           {nullptr, kMaxFixedSize, "presence flag offset"}},
                          v)) {
        return false;
      }
      f.run_length = v[2];
      flag_at = v[3];
    } else {
      const bool per_npu = words.size() > 2 && words[2] == "per_npu";
      if (!words_.pattern(line, words,
                          {{nullptr, kMaxFixedSize, "data pointer offset"},
                           {per_npu ? "per_npu" : "counted", 0, ""},
                           {"elem", 0, ""},
                           {nullptr, kMaxElementSize, "element size"},
                           {"flag_ptr", 0, ""},
                           {nullptr, kMaxFixedSize, "flag pointer offset"}},
                          v)) {
        return false;
      }
      f.kind = per_npu ? ItemKind::kPerNpuArray : ItemKind::kCountedArray;
      f.run_length = 1;
      flag_at = v[2];
      v.erase(v.begin() + 2);
    }
    f.offset = v[0];
    f.width = v[1];
    current_->def.fields.push_back(f);
    current_->flag_at.push_back(flag_at);
    return true;
  }

  // "check WHICH none" or "check WHICH LINE \"PROTOTYPE\"".
  bool parse_check(int line, Key key, const std::vector<std::string>& words,
                   std::string_view text) {
    Record& r = *current_;
    const int which = static_cast<int>(key) - static_cast<int>(Key::kCheckFixPtrs);
    CheckSite& site = which == 0   ? r.checks.fix_ptrs
                      : which == 1 ? r.checks.size_ptr
                                   : r.checks.alloc;
    uint32_t& at = site.line;
    std::string& prototype = site.prototype;
    r.check_lines[which] = line;
    r.lines.checks = line;
    if (words.size() == 3 && words[2] == "none") return true;
    const size_t open = text.find('"');
    const size_t close = text.rfind('"');
    if (words.size() < 4 || open == close ||
        text.find_first_not_of(" \t\r\v\f", close + 1) != std::string_view::npos) {
      fail(line, "malformed 'check' line: expected 'none' or a line and a quoted prototype");
      return false;
    }
    if (!words_.number(line, words[2], UINT32_MAX, "check line", at)) return false;
    if (at == 0) {
      fail(line, "check line 0: write 'none' for a check the type does not have");
      return false;
    }
    prototype = std::string(text.substr(open + 1, close - open - 1));
    return true;
  }

  // What a definition file would hold beyond the record's facts: its name,
  // and the flag area that follows from the fields; its key lines are the
  // record's, so that the layout rules report at the manifest's lines.
  static void complete_definition(Definition& def) {
    char file_name[96];
    std::snprintf(file_name, sizeof file_name, "%03u_%.60s.tdef", def.table_id, def.name.c_str());
    def.file_name = file_name;
    def.flags_at = static_cast<uint32_t>(place_flags(def.fields).flags_start);
    def.lines.flags_at = def.fields.empty() ? def.lines.table : def.fields.back().line;
  }

  void finish_record() {
    if (!current_) return;
    Record r = std::move(*current_);
    current_.reset();
    if (r.broken) return;
    if (r.next != Key::kDone) {
      fail(r.lines.table,
           "type " + quote(r.def.name) + " ends before its '" + key_text(r.next) + "' line");
      return;
    }
    complete_definition(r.def);
    const size_t errors_before = diags_.error_count();
    validate_definition(r.def, diags_);
    if (diags_.error_count() != errors_before) return;
    TypeLayout layout = plan_layout(r.def);
    check_derived(r, layout);
    if (diags_.error_count() != errors_before) return;
    layout.lines = r.lines;
    layouts_.push_back(std::move(layout));
    defs_.push_back(std::move(r.def));
  }

  // Every fact that follows from the fields must be the one the planner
  // derives from them.
  void check_derived(const Record& r, const TypeLayout& planned) {
    for (size_t i = 0; i < planned.fields.size(); ++i) {
      const FieldLayout& f = planned.fields[i];
      if (r.flag_at[i] == f.flag_at) continue;
      fail(f.line, std::string(f.is_array() ? "the flag pointer of this array"
                                            : "the presence flags of this field") +
                       " must be at " + std::to_string(f.flag_at) + ", not " +
                       std::to_string(r.flag_at[i]));
    }
    if (r.npd_present != planned.npd_present) {
      fail(r.lines.npd_present, "npd_present must be at " + std::to_string(planned.npd_present) +
                                    ", the first byte after the presence flags, not " +
                                    std::to_string(r.npd_present));
    }
    if (r.dynamic != planned.dynamic) {
      std::string expected;
      for (uint32_t a : planned.dynamic) expected += " " + std::to_string(a);
      fail(r.dynamic_line, "'dynamic' must list the data pointers in field order:" +
                               (expected.empty() ? std::string(" none") : expected));
    }
    const CheckSite* derived[] = {&planned.checks.fix_ptrs, &planned.checks.size_ptr,
                                  &planned.checks.alloc};
    const CheckSite* stated[] = {&r.checks.fix_ptrs, &r.checks.size_ptr, &r.checks.alloc};
    for (int i = 0; i < 3; ++i) {
      if (derived[i]->line == stated[i]->line && derived[i]->prototype == stated[i]->prototype) {
        continue;
      }
      fail(r.check_lines[i], "this layout's check is " +
                                 (derived[i]->line == 0 ? std::string("none")
                                                        : std::to_string(derived[i]->line) + " \"" +
                                                              derived[i]->prototype + "\""));
    }
  }

  const std::string& path_;
  Diagnostics& diags_;
  std::vector<Definition> defs_;     // of each accepted record, for the catalogue's rules
  std::vector<TypeLayout> layouts_;  // as planned from each accepted record
  std::optional<Record> current_;
  ManifestWords words_{[this](int line, const std::string& message) { fail(line, message); }};
};

}  // namespace

std::optional<std::vector<TypeLayout>> read_manifest(const std::string& path,
                                                     const std::string& text, Diagnostics& diags) {
  return ManifestReader(path, diags).run(text);
}

}  // namespace tablegen
