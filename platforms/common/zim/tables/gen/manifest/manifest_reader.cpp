// SPDX-License-Identifier: Apache-2.0
// Reads a layout manifest back, strictly: it is generated text.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "gen/check/validator.hpp"
#include "gen/layout/fingerprint.hpp"
#include "gen/layout/plan.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/manifest/manifest_record.hpp"
#include "gen/manifest/manifest_words.hpp"
#include "gen/names/names.hpp"
#include "gen/read/flag_placement.hpp"
#include "gen/text/item_syntax.hpp"
#include "gen/text/limits.hpp"
#include "gen/text/words.hpp"

namespace tablegen {
namespace {

using Key = ManifestKey;
using W = ManifestWords;

// Reads a manifest strictly: it is generated text, so every line must be
// what the generator writes, in its order, with every number bounded as a
// definition's is. Each record is then judged by the rules a definition must
// pass, and every fact the generator derives (flag positions, npd_present,
// check lines, prototypes) must equal what the record's fields give, so a
// manifest can only describe a layout that some definition produces.
class ManifestReader {
 public:
  ManifestReader(const std::string& path, Diagnostics& diags) : path_(path), diags_(diags) {}

  std::optional<std::vector<TypeLayout>> run(std::string_view text) {
    const size_t errors_before = diags_.error_count();
    Lines lines(text);
    for (std::string_view line; lines.next(line);) {
      const size_t first = line.find_first_not_of(kSpaceBytes);
      if (first == std::string_view::npos || line[first] == '#') continue;
      if (!words_.plain_text(lines.number(), line)) continue;
      parse_line(lines.number(), split_words(line), line);
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

  bool offset(int line, std::string_view word, const std::string& what, uint32_t& out) {
    return words_.number(line, word, kMaxFixedSize, what, out);
  }

  void start_record(int line, const std::vector<std::string>& words) {
    finish_record();
    current_.emplace();
    ManifestRecord& r = *current_;
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

  // Each line must be the one the record expects next.
  void parse_line(int line, const std::vector<std::string>& words, std::string_view text) {
    const std::optional<Key> key = key_of(words);
    if (key == Key::kType) return start_record(line, words);
    if (!current_) return fail(line, "expected 'type ID NAME' first");
    ManifestRecord& r = *current_;
    if (r.broken) return;
    if (!key) return fail(line, "unknown key " + quote(words[0]));
    if (r.next == Key::kFingerprint && *key != Key::kFingerprint) r.next = Key::kClass;
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
    if (!parse_fact(line, *key, words, text)) return;
    if (*key != Key::kField) r.next = static_cast<Key>(static_cast<int>(*key) + 1);
    if (*key == Key::kHeader) r.next = Key::kField;
    if (*key == Key::kField) r.next = Key::kNpdPresent;
  }

  // The fact of one line; false after reporting what is wrong with it.
  bool parse_fact(int line, Key key, const std::vector<std::string>& words, std::string_view text) {
    ManifestRecord& r = *current_;
    Definition& t = r.def;
    std::vector<uint32_t> v;
    switch (key) {
      case Key::kType:
      case Key::kDone:
        return true;
      case Key::kFingerprint:
        return parse_fingerprint(line, words);
      case Key::kClass:
        return parse_class(line, words);
      case Key::kFixedSize:
        t.lines.fixed_size = r.lines.fixed_size = line;
        if (!words_.pattern(line, words, {W::value(kMaxFixedSize, "fixed size")}, v)) return false;
        t.fixed_size = v[0];
        return true;
      case Key::kCountField:
        t.lines.count_field = r.lines.count_field = line;
        if (words.size() == 2 && words[1] == "off") return true;
        if (!words_.pattern(line, words, {W::fixed("on"), W::value(kMaxFixedSize, "count field")},
                            v)) {
          return false;
        }
        t.count_field = v[0];
        return true;
      case Key::kSizeCheck:
      case Key::kObjFlagsBit5:
        return parse_switch(line, key, words);
      case Key::kHeader:
        return parse_header(line, words);
      case Key::kField:
        return parse_field(line, words);
      case Key::kNpdPresent:
        r.lines.npd_present = line;
        if (!words_.pattern(line, words, {W::value(kMaxFixedSize, "npd_present offset")}, v)) {
          return false;
        }
        r.npd_present = v[0];
        return true;
      case Key::kDynamic:
        return parse_dynamic(line, words);
      case Key::kCheckFixPtrs:
      case Key::kCheckSizePtr:
      case Key::kCheckAlloc:
        return parse_check(line, key, words, text);
      case Key::kWisp:
        return parse_wisp(line, words);
    }
    return true;
  }

  // "fingerprint HEX16", checked against the record's layout once planned.
  bool parse_fingerprint(int line, const std::vector<std::string>& words) {
    ManifestRecord& r = *current_;
    r.fingerprint_line = line;
    const bool hex = words.size() == 2 && words[1].size() == 16 &&
                     words[1].find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!hex) {
      fail(line, "malformed 'fingerprint' line: expected 16 lower-case hex digits");
      return false;
    }
    r.fingerprint = std::stoull(words[1], nullptr, 16);
    return true;
  }

  bool parse_class(int line, const std::vector<std::string>& words) {
    Definition& t = current_->def;
    t.lines.type_class = current_->lines.type_class = line;
    for (const auto& [cls, word] : kClassKeywords) {
      if (words.size() == 2 && words[1] == word) {
        t.type_class = cls;
        return true;
      }
    }
    fail(line, "malformed 'class' line");
    return false;
  }

  // "size_check on|off" or "obj_flags_bit5 set|clear".
  bool parse_switch(int line, Key key, const std::vector<std::string>& words) {
    ManifestRecord& r = *current_;
    Definition& t = r.def;
    const bool size_check = key == Key::kSizeCheck;
    (size_check ? t.lines.size_check : t.lines.obj_flags_bit5) = line;
    (size_check ? r.lines.size_check : r.lines.obj_flags_bit5) = line;
    const char* yes = size_check ? "on" : "set";
    const char* no = size_check ? "off" : "clear";
    if (words.size() != 2 || (words[1] != yes && words[1] != no)) {
      fail(line, "malformed '" + words[0] + "' line: expected '" + yes + "' or '" + no + "'");
      return false;
    }
    (size_check ? t.size_check : t.sets_obj_flags_bit5) = words[1] == yes;
    return true;
  }

  bool parse_header(int line, const std::vector<std::string>& words) {
    Definition& t = current_->def;
    t.lines.header = current_->lines.header = line;
    if (words.size() - 1 > kMaxHeaderFields) {
      fail(line, "a type header has 2 to 5 fields, found " + std::to_string(words.size() - 1));
      return false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
      const auto parts = split_header_item(words[i]);
      HeaderField f;
      if (!parts) {
        fail(line, "malformed header field " + quote(words[i]) + ": expected off:w");
        return false;
      }
      if (!offset(line, parts->offset, "header field offset", f.offset) ||
          !offset(line, parts->size, "header field width", f.width)) {
        return false;
      }
      t.header.push_back(f);
    }
    return true;
  }

  // "field OFFSET width W run N flag F" or "array DATA_PTR KIND elem E
  // flag_ptr F", either with "name NAME" or "name NAME was OLD" at the end
  // for a named field.
  bool parse_field(int line, std::vector<std::string> words) {
    FieldItem f;
    uint32_t flag_at = 0;
    f.line = line;
    if (words.size() > 4 && words[words.size() - 2] == "was" && words[words.size() - 4] == "name") {
      f.was = words.back();
      words.resize(words.size() - 2);
    }
    if (words.size() > 2 && words[words.size() - 2] == "name") {
      f.name = words.back();
      words.resize(words.size() - 2);
    }
    std::vector<uint32_t> v;
    if (words[0] == "field") {
      if (!words_.pattern(line, words,
                          {W::value(kMaxFixedSize, "field offset"), W::fixed("width"),
                           W::value(kMaxFixedSize, "field width"), W::fixed("run"),
                           W::value(kMaxFixedSize, "run length"), W::fixed("flag"),
                           W::value(kMaxFixedSize, "presence flag offset")},
                          v)) {
        return false;
      }
      f.run_length = v[2];
      flag_at = v[3];
    } else {
      const bool per_npu = words.size() > 2 && words[2] == "per_npu";
      if (!words_.pattern(line, words,
                          {W::value(kMaxFixedSize, "data pointer offset"),
                           W::fixed(per_npu ? "per_npu" : "counted"), W::fixed("elem"),
                           W::value(kMaxElementSize, "element size"), W::fixed("flag_ptr"),
                           W::value(kMaxFixedSize, "flag pointer offset")},
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

  // "dynamic OFFSET..." or "dynamic none".
  bool parse_dynamic(int line, const std::vector<std::string>& words) {
    ManifestRecord& r = *current_;
    r.dynamic_line = line;
    if (words.size() == 2 && words[1] == "none") return true;
    for (size_t i = 1; i < words.size(); ++i) {
      uint32_t at = 0;
      if (!offset(line, words[i], "data pointer", at)) return false;
      r.dynamic.push_back(at);
    }
    if (!r.dynamic.empty()) return true;
    fail(line, "malformed 'dynamic' line: expected offsets or 'none'");
    return false;
  }

  // "check WHICH none" or "check WHICH LINE \"PROTOTYPE\"".
  bool parse_check(int line, Key key, const std::vector<std::string>& words,
                   std::string_view text) {
    ManifestRecord& r = *current_;
    const int which = static_cast<int>(key) - static_cast<int>(Key::kCheckFixPtrs);
    CheckSite& site = which == 0   ? r.checks.fix_ptrs
                      : which == 1 ? r.checks.size_ptr
                                   : r.checks.alloc;
    r.check_lines[which] = line;
    r.lines.checks = line;
    if (words.size() == 3 && words[2] == "none") return true;
    const size_t open = text.find('"');
    const size_t close = text.rfind('"');
    if (words.size() < 4 || open == close || !only_spaces_from(text, close + 1)) {
      fail(line, "malformed 'check' line: expected 'none' or a line and a quoted prototype");
      return false;
    }
    if (!words_.number(line, words[2], UINT32_MAX, "check line", site.line)) return false;
    if (site.line == 0) {
      fail(line, "check line 0: write 'none' for a check the type does not have");
      return false;
    }
    site.prototype = std::string(text.substr(open + 1, close - open - 1));
    return true;
  }

  bool parse_wisp(int line, const std::vector<std::string>& words) {
    Definition& t = current_->def;
    t.lines.wisp = current_->lines.wisp = line;
    constexpr W::Slot kId = W::value(kMaxWisp, "trace identifier");
    std::vector<uint32_t> v;
    if (!words_.pattern(line, words, {kId, kId, kId, kId, kId, kId}, v)) return false;
    std::copy(v.begin(), v.end(), t.wisp.begin());
    return true;
  }

  // What a definition file would hold beyond the record's facts: its name,
  // and the flag area that follows from the fields; its key lines are the
  // record's, so that the layout rules report at the manifest's lines.
  static void complete_definition(Definition& def) {
    def.file_name = definition_file_name(def.table_id, def.name);
    def.flags_at = static_cast<uint32_t>(place_flags(def.fields).flags_start);
    def.lines.flags_at = def.fields.empty() ? def.lines.table : def.fields.back().line;
  }

  void finish_record() {
    if (!current_) return;
    ManifestRecord r = std::move(*current_);
    current_.reset();
    if (r.broken) return;
    if (r.next != Key::kDone) {
      const Key missing = r.next == Key::kFingerprint ? Key::kClass : r.next;
      fail(r.lines.table,
           "type " + quote(r.def.name) + " ends before its '" + key_text(missing) + "' line");
      return;
    }
    complete_definition(r.def);
    const size_t errors_before = diags_.error_count();
    validate_definition(r.def, diags_);
    if (diags_.error_count() != errors_before) return;
    TypeLayout layout = plan_layout(r.def);
    check_derived(r, layout, [this](int line, const std::string& message) { fail(line, message); });
    if (r.fingerprint && *r.fingerprint != layout_fingerprint(layout)) {
      fail(r.fingerprint_line, "fingerprint " + fingerprint_hex(*r.fingerprint) +
                                   " is not the layout's, " +
                                   fingerprint_hex(layout_fingerprint(layout)));
    }
    if (diags_.error_count() != errors_before) return;
    layout.lines = r.lines;
    layouts_.push_back(std::move(layout));
    defs_.push_back(std::move(r.def));
  }

  const std::string& path_;
  Diagnostics& diags_;
  std::vector<Definition> defs_;     // of each accepted record, for the catalogue's rules
  std::vector<TypeLayout> layouts_;  // as planned from each accepted record
  std::optional<ManifestRecord> current_;
  ManifestWords words_{[this](int line, const std::string& message) { fail(line, message); }};
};

}  // namespace

std::optional<std::vector<TypeLayout>> read_manifest(const std::string& path,
                                                     const std::string& text, Diagnostics& diags) {
  return ManifestReader(path, diags).run(text);
}

}  // namespace tablegen
