// SPDX-License-Identifier: Apache-2.0
#include "codec/layout_record.hpp"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "codec/fingerprint.hpp"
#include "codec/flag_placement.hpp"
#include "codec/item_syntax.hpp"
#include "codec/layout_rules.hpp"
#include "codec/limits.hpp"
#include "codec/printable.hpp"
#include "codec/record_words.hpp"
#include "codec/words.hpp"

namespace zim_codec {
namespace {

using Key = RecordKey;
using W = ManifestWords;

std::string num(uint64_t v) { return std::to_string(v); }

constexpr const char* kKeyText[] = {
    "type",           "fingerprint", "class", "fixed_size",  "count_param", "size_check",
    "obj_flags_bit5", "header",      "field", "npd_present", "dynamic",     "check fix_ptrs",
    "check size_ptr", "check alloc", "wisp",  "type"};
static_assert(std::size(kKeyText) == static_cast<size_t>(RecordKey::kDone) + 1);

std::string field_line(const FieldLayout& f) {
  const std::string name =
      (f.name.empty() ? "" : " name " + f.name) + (f.was.empty() ? "" : " was " + f.was);
  if (!f.is_array()) {
    return "  field " + num(f.offset) + " width " + num(f.width) + " run " + num(f.run_length) +
           " flag " + num(f.flag_at) + name + "\n";
  }
  return "  array " + num(f.offset) + (f.kind == ItemKind::kPerNpuArray ? " per_npu" : " counted") +
         " elem " + num(f.width) + " flag_ptr " + num(f.flag_at) + name + "\n";
}

// The key of a line's words, or nothing for an unknown one.
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

// Reads records strictly: it is generated text, so every line must be what
// the writer puts, in its order, with every number bounded as a
// definition's is.
class RecordLines {
 public:
  RecordLines(const std::string& path, const Report& fail, const RecordJudge& judge)
      : path_(path), report_(fail), judge_(judge) {}

  size_t run(std::string_view text) {
    Lines lines(text);
    for (std::string_view line; lines.next(line);) {
      const size_t first = line.find_first_not_of(kSpaceBytes);
      if (first == std::string_view::npos || line[first] == '#') continue;
      if (!words_.plain_text(lines.number(), line)) continue;
      parse_line(lines.number(), split_words(line), line);
    }
    finish_record();
    return taken_;
  }

 private:
  // The record being read, with what is not its layout's.
  struct Current {
    StatedRecord stated;
    Key next = Key::kFingerprint;
    bool broken = false;  // a line was reported; the rest of the record is skipped
  };

  void fail(int line, const std::string& message) {
    report_(line, message);
    if (current_) current_->broken = true;
  }

  bool offset(int line, std::string_view word, const std::string& what, uint32_t& out) {
    return words_.number(line, word, kMaxFixedSize, what, out);
  }

  void start_record(int line, const std::vector<std::string>& words) {
    finish_record();
    current_.emplace();
    TypeLayout& t = current_->stated.layout;
    t.path = path_;
    t.lines.table = t.lines.id = line;
    uint32_t id = 0;
    if (words.size() != 3) return fail(line, "expected 'type ID NAME'");
    if (!words_.number(line, words[1], kMaxTableId, "table id", id)) return;
    if (last_taken_id_ && id < *last_taken_id_) {
      return fail(line, "type records must come in table-id order: id " + num(id) + " follows id " +
                            num(*last_taken_id_));
    }
    t.table_id = id;
    t.name = words[2];
  }

  // Each line must be the one the record expects next.
  void parse_line(int line, const std::vector<std::string>& words, std::string_view text) {
    const std::optional<Key> key = key_of(words);
    if (key == Key::kType) return start_record(line, words);
    if (!current_) return fail(line, "expected 'type ID NAME' first");
    Current& r = *current_;
    if (r.broken) return;
    if (!key) return fail(line, "unknown key " + quote(words[0]));
    if (r.next == Key::kFingerprint && *key != Key::kFingerprint) r.next = Key::kClass;
    const bool fields_go_on =
        *key == Key::kField && r.next == Key::kNpdPresent && !r.stated.layout.fields.empty();
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
    TypeLayout& t = current_->stated.layout;
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
        t.lines.fixed_size = line;
        if (!words_.pattern(line, words, {W::value(kMaxFixedSize, "fixed size")}, v)) return false;
        t.fixed_size = v[0];
        return true;
      case Key::kCountField:
        t.lines.count_field = line;
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
        t.lines.npd_present = line;
        if (!words_.pattern(line, words, {W::value(kMaxFixedSize, "npd_present offset")}, v)) {
          return false;
        }
        t.npd_present = v[0];
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

  // "fingerprint HEX16", checked against the record's layout once judged.
  bool parse_fingerprint(int line, const std::vector<std::string>& words) {
    StatedRecord& r = current_->stated;
    r.fingerprint_line = line;
    const bool hex = words.size() == 2 && words[1].size() == 16 &&
                     words[1].find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!hex) {
      fail(line, "malformed 'fingerprint' line: expected 16 lower-case hex digits");
      return false;
    }
    uint64_t value = 0;
    for (const char c : words[1]) value = value << 4 | static_cast<uint64_t>(hex_digit(c));
    r.fingerprint = value;
    return true;
  }

  static int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

  bool parse_class(int line, const std::vector<std::string>& words) {
    TypeLayout& t = current_->stated.layout;
    t.lines.type_class = line;
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
    TypeLayout& t = current_->stated.layout;
    const bool size_check = key == Key::kSizeCheck;
    (size_check ? t.lines.size_check : t.lines.obj_flags_bit5) = line;
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
    TypeLayout& t = current_->stated.layout;
    t.lines.header = line;
    if (words.size() - 1 > kMaxHeaderFields) {
      fail(line, "a type header has 2 to 5 fields, found " + num(words.size() - 1));
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
    FieldLayout f;
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
      f.flag_at = v[3];
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
      f.flag_at = v[2];
    }
    f.offset = v[0];
    f.width = v[1];
    current_->stated.layout.fields.push_back(f);
    return true;
  }

  // "dynamic OFFSET..." or "dynamic none".
  bool parse_dynamic(int line, const std::vector<std::string>& words) {
    StatedRecord& r = current_->stated;
    r.dynamic_line = line;
    if (words.size() == 2 && words[1] == "none") return true;
    for (size_t i = 1; i < words.size(); ++i) {
      uint32_t at = 0;
      if (!offset(line, words[i], "data pointer", at)) return false;
      r.layout.dynamic.push_back(at);
    }
    if (!r.layout.dynamic.empty()) return true;
    fail(line, "malformed 'dynamic' line: expected offsets or 'none'");
    return false;
  }

  // "check WHICH none" or "check WHICH LINE \"PROTOTYPE\"".
  bool parse_check(int line, Key key, const std::vector<std::string>& words,
                   std::string_view text) {
    StatedRecord& r = current_->stated;
    const int which = static_cast<int>(key) - static_cast<int>(Key::kCheckFixPtrs);
    CheckSites& checks = r.layout.checks;
    CheckSite& site = which == 0   ? checks.fix_ptrs
                      : which == 1 ? checks.size_ptr
                                   : checks.alloc;
    r.check_lines[which] = line;
    r.layout.lines.checks = line;
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
    TypeLayout& t = current_->stated.layout;
    t.lines.wisp = line;
    constexpr W::Slot kId = W::value(kMaxWisp, "trace identifier");
    std::vector<uint32_t> v;
    if (!words_.pattern(line, words, {kId, kId, kId, kId, kId, kId}, v)) return false;
    std::copy(v.begin(), v.end(), t.wisp.begin());
    return true;
  }

  void finish_record() {
    if (!current_) return;
    Current r = std::move(*current_);
    current_.reset();
    if (r.broken) return;
    if (r.next != Key::kDone) {
      const Key missing = r.next == Key::kFingerprint ? Key::kClass : r.next;
      fail(r.stated.layout.lines.table, "type " + quote(r.stated.layout.name) + " ends before its '" +
                                            key_text(missing) + "' line");
      return;
    }
    const uint32_t id = r.stated.layout.table_id;
    if (judge_(std::move(r.stated))) {
      last_taken_id_ = id;
      ++taken_;
    }
  }

  const std::string& path_;
  const Report& report_;
  const RecordJudge& judge_;
  std::optional<Current> current_;
  std::optional<uint32_t> last_taken_id_;
  size_t taken_ = 0;
  ManifestWords words_{[this](int line, const std::string& message) { fail(line, message); }};
};

std::vector<FieldItem> field_items(const std::vector<FieldLayout>& fields) {
  return std::vector<FieldItem>(fields.begin(), fields.end());
}

}  // namespace

std::string layout_record(const TypeLayout& t) {
  std::string out = "type " + num(t.table_id) + " " + t.name + "\n";
  out += "  fingerprint " + fingerprint_hex(layout_fingerprint(t)) + "\n";
  out += std::string("  class ") + class_keyword(t.type_class) + "\n";
  out += "  fixed_size " + num(t.fixed_size) + "\n";
  out += "  count_param " + (t.count_field ? "on " + num(*t.count_field) : "off") + "\n";
  out += std::string("  size_check ") + (t.size_check ? "on" : "off") + "\n";
  out += std::string("  obj_flags_bit5 ") + (t.sets_obj_flags_bit5 ? "set" : "clear") + "\n";
  out += "  header";
  for (const HeaderField& h : t.header) out += " " + item_text(h);
  out += "\n";
  for (const FieldLayout& f : t.fields) out += field_line(f);
  out += "  npd_present " + num(t.npd_present) + "\n";
  out += "  dynamic";
  for (const uint32_t at : t.dynamic) out += " " + num(at);
  out += t.dynamic.empty() ? " none\n" : "\n";
  out += "  check fix_ptrs " + check_text(t.checks.fix_ptrs) + "\n";
  out += "  check size_ptr " + check_text(t.checks.size_ptr) + "\n";
  out += "  check alloc " + check_text(t.checks.alloc) + "\n";
  out += "  wisp";
  for (const uint32_t w : t.wisp) out += " " + num(w);
  return out + "\n";
}

std::string check_text(const CheckSite& site) {
  return site.line == 0 ? std::string("none") : num(site.line) + " \"" + site.prototype + "\"";
}

const char* key_text(RecordKey key) { return kKeyText[static_cast<int>(key)]; }

size_t read_record_lines(const std::string& path, std::string_view text, const Report& fail,
                         const RecordJudge& judge) {
  return RecordLines(path, fail, judge).run(text);
}

void check_stated_placement(const StatedRecord& record, const Report& fail) {
  const TypeLayout& t = record.layout;
  const FlagPlacement flags = place_flags(field_items(t.fields));
  std::vector<uint32_t> dynamic;
  for (size_t i = 0; i < t.fields.size(); ++i) {
    const FieldLayout& f = t.fields[i];
    if (f.is_array()) dynamic.push_back(f.offset);
    if (f.flag_at == flags.item_flag_at[i]) continue;
    fail(f.line, std::string(f.is_array() ? "the flag pointer of this array"
                                          : "the presence flags of this field") +
                     " must be at " + num(flags.item_flag_at[i]) + ", not " + num(f.flag_at));
  }
  if (t.npd_present != flags.npd_present) {
    fail(t.lines.npd_present, "npd_present must be at " + num(flags.npd_present) +
                                  ", the first byte after the presence flags, not " +
                                  num(t.npd_present));
  }
  if (t.dynamic != dynamic) {
    std::string expected;
    for (uint32_t a : dynamic) expected += " " + num(a);
    fail(record.dynamic_line, "'dynamic' must list the data pointers in field order:" +
                                  (expected.empty() ? std::string(" none") : expected));
  }
}

bool judge_record(StatedRecord& record, const Report& fail) {
  bool holds = true;
  const Report judged = [&](int line, const std::string& message) {
    holds = false;
    fail(line, message);
  };
  TypeLayout& t = record.layout;
  const std::vector<FieldItem> items = field_items(t.fields);
  t.flags_at = static_cast<uint32_t>(std::min<uint64_t>(place_flags(items).flags_start, UINT32_MAX));
  t.lines.flags_at = t.fields.empty() ? t.lines.table : t.fields.back().line;
  if (!check_type_name(t, judged)) return false;
  check_layout_rules(t, items, judged);
  check_field_names(items, judged);
  if (!holds) return false;
  check_stated_placement(record, judged);
  const uint64_t fingerprint = layout_fingerprint(t);
  if (record.fingerprint && *record.fingerprint != fingerprint) {
    judged(record.fingerprint_line, "fingerprint " + fingerprint_hex(*record.fingerprint) +
                                        " is not the layout's, " + fingerprint_hex(fingerprint));
  }
  t.lines.flags_at = 0;
  return holds;
}

std::optional<std::vector<TypeLayout>> read_layouts(const std::string& path,
                                                    std::string_view text, const Report& fail) {
  bool failed = false;
  const Report report = [&](int line, const std::string& message) {
    failed = true;
    fail(line, message);
  };
  std::vector<TypeLayout> layouts;
  std::set<std::string> names;
  const size_t taken = read_record_lines(path, text, report, [&](StatedRecord&& record) {
    if (!judge_record(record, report)) return false;
    TypeLayout& t = record.layout;
    if (!layouts.empty() && layouts.back().table_id == t.table_id) {
      report(t.lines.id, "duplicate table id " + num(t.table_id));
      return false;
    }
    if (!names.insert(t.name).second) {
      report(t.lines.table, "duplicate type name " + quote(t.name));
      return false;
    }
    layouts.push_back(std::move(t));
    return true;
  });
  if (taken == 0 && !failed) report(1, "no 'type' records: not a layout manifest");
  if (failed) return std::nullopt;
  return layouts;
}

std::optional<TypeLayout> read_layout_record(std::string_view text, std::string* why,
                                             const std::string& name) {
  std::string first;
  const Report fail = [&](int line, const std::string& message) {
    if (first.empty()) first = message_line(name, line, "error", message);
  };
  std::optional<std::vector<TypeLayout>> layouts = read_layouts(name, text, fail);
  if (layouts && layouts->size() == 1) return std::move(layouts->front());
  if (why) *why = first;
  return std::nullopt;
}

}  // namespace zim_codec
