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
using W = RecordWords;

std::string num(uint64_t v) { return std::to_string(v); }

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

// The record being read: what its lines stated so far, the line it expects
// next, and whether a line was reported (the rest of it is then skipped).
struct Current {
  StatedRecord stated;
  Key next = Key::kFingerprint;
  bool broken = false;
};

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
        return parse_offset(line, words, "fixed size", t.lines.fixed_size, t.fixed_size);
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
        return parse_offset(line, words, "npd_present offset", t.lines.npd_present, t.npd_present);
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

  // "KEY OFFSET": one offset within the largest fixed part, and its line.
  bool parse_offset(int line, const std::vector<std::string>& words, const char* what,
                    int& fact_line, uint32_t& out) {
    fact_line = line;
    std::vector<uint32_t> v;
    if (!words_.pattern(line, words, {W::value(kMaxFixedSize, what)}, v)) return false;
    out = v[0];
    return true;
  }

  // "fingerprint HEX16", checked against the record's layout once judged.
  bool parse_fingerprint(int line, const std::vector<std::string>& words) {
    StatedRecord& r = current_->stated;
    r.fingerprint_line = line;
    if (words.size() == 2) r.fingerprint = read_fingerprint_hex(words[1]);
    if (!r.fingerprint)
      fail(line, "malformed 'fingerprint' line: expected 16 lower-case hex digits");
    return r.fingerprint.has_value();
  }

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
    CheckSite& site = which == 0 ? checks.fix_ptrs : which == 1 ? checks.size_ptr : checks.alloc;
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
      fail(r.stated.layout.lines.table, "type " + quote(r.stated.layout.name) +
                                            " ends before its '" + key_text(missing) + "' line");
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
  RecordWords words_{[this](int line, const std::string& message) { fail(line, message); }};
};

}  // namespace

std::string layout_record(const TypeLayout& t) {
  // "  KEY VALUE...": a line of the record after its first, the value with
  // its leading space.
  const auto line = [](Key key, const std::string& value) {
    return std::string("  ") + key_text(key) + value + "\n";
  };
  std::string header, dynamic, wisp;
  for (const HeaderField& h : t.header) header += " " + item_text(h);
  for (const uint32_t at : t.dynamic) dynamic += " " + num(at);
  for (const uint32_t w : t.wisp) wisp += " " + num(w);
  std::string out = key_text(Key::kType) + (" " + num(t.table_id) + " " + t.name + "\n");
  out += line(Key::kFingerprint, " " + fingerprint_hex(layout_fingerprint(t)));
  out += line(Key::kClass, std::string(" ") + class_keyword(t.type_class));
  out += line(Key::kFixedSize, " " + num(t.fixed_size));
  out += line(Key::kCountField, t.count_field ? " on " + num(*t.count_field) : " off");
  out += line(Key::kSizeCheck, t.size_check ? " on" : " off");
  out += line(Key::kObjFlagsBit5, t.sets_obj_flags_bit5 ? " set" : " clear");
  out += line(Key::kHeader, header);
  for (const FieldLayout& f : t.fields) out += field_line(f);
  out += line(Key::kNpdPresent, " " + num(t.npd_present));
  out += line(Key::kDynamic, dynamic.empty() ? " none" : dynamic);
  out += line(Key::kCheckFixPtrs, " " + check_text(t.checks.fix_ptrs));
  out += line(Key::kCheckSizePtr, " " + check_text(t.checks.size_ptr));
  out += line(Key::kCheckAlloc, " " + check_text(t.checks.alloc));
  return out + line(Key::kWisp, wisp);
}

std::string check_text(const CheckSite& site) {
  return site.line == 0 ? std::string("none") : num(site.line) + " \"" + site.prototype + "\"";
}

size_t read_record_lines(const std::string& path, std::string_view text, const Report& fail,
                         const RecordJudge& judge) {
  return RecordLines(path, fail, judge).run(text);
}

}  // namespace zim_codec
