#include "manifest.hpp"

#include <sstream>

#include "text.hpp"

namespace tablegen {
namespace {

constexpr const char* kPreamble =
    "# Layout of every table type as zim_tablegen derives it from the definitions.\n"
    "# Generated; do not edit. After changing a definition, refresh it with\n"
    "#   zim_tablegen --manifest DEFS_DIR > MANIFEST\n"
    "# and review the diff: a changed line moves bytes under the processes that\n"
    "# share objects of that type. Offsets and sizes are in bytes.\n"
    "#   field OFFSET width W run N flag F: N inline fields of W bytes, flags from F\n"
    "#   array DATA_PTR per_npu|counted elem E flag_ptr F: element storage and flags\n"
    "#   either ends in 'name NAME' for a field its definition names\n"
    "#   dynamic: data pointers in the order their arrays fill the dynamic area\n";

const char* kind_word(ItemKind kind) {
  return kind == ItemKind::kPerNpuArray ? "per_npu" : "counted";
}

std::string check_line(const char* name, uint32_t line, const std::string& prototype) {
  if (line == 0) return std::string("  check ") + name + " none\n";
  return std::string("  check ") + name + " " + str(line) + " \"" + prototype + "\"\n";
}

}  // namespace

TypeLayout layout_of(const TypePlan& plan) {
  const Definition& def = *plan.def;
  TypeLayout t;
  t.path = def.path;
  t.text = def.text;
  t.table_id = def.table_id;
  t.name = def.name;
  t.type_class = def.type_class;
  t.fixed_size = def.fixed_size;
  t.count_field = def.count_field;
  t.size_check = def.size_check;
  t.sets_obj_flags_bit5 = def.sets_obj_flags_bit5;
  t.header = def.header;
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const FieldItem& f = def.fields[i];
    t.fields.push_back({f.kind, f.offset, f.width, f.repeat, plan.item_flag_at[i], f.name, f.line});
  }
  t.npd_present = plan.npd_present;
  t.checks = plan.lines;
  t.fix_ptrs_prototype = plan.fix_ptrs_prototype;
  t.size_ptr_prototype = plan.size_ptr_prototype;
  t.alloc_prototype = plan.alloc_prototype;
  t.wisp = def.wisp;
  t.lines = def.lines;
  t.checks_line = def.lines.table;
  return t;
}

std::string manifest_text(const std::vector<TypeLayout>& layouts) {
  std::string out = kPreamble;
  for (const TypeLayout& t : layouts) {
    out += "\ntype " + str(t.table_id) + " " + t.name + "\n";
    out += "  class " + std::string(class_keyword(t.type_class)) + "\n";
    out += "  fixed_size " + str(t.fixed_size) + "\n";
    out += t.count_field ? "  count_param on " + str(*t.count_field) + "\n"
                         : std::string("  count_param off\n");
    out += std::string("  size_check ") + (t.size_check ? "on" : "off") + "\n";
    out += std::string("  obj_flags_bit5 ") + (t.sets_obj_flags_bit5 ? "set" : "clear") + "\n";
    out += "  header";
    for (const auto& h : t.header) out += " " + str(h.offset) + ":" + str(h.width);
    out += "\n";
    std::string dynamic;
    for (const auto& f : t.fields) {
      if (f.kind == ItemKind::kInline) {
        out += "  field " + str(f.offset) + " width " + str(f.width) + " run " + str(f.repeat) +
               " flag " + str(f.flag_at);
      } else {
        out += "  array " + str(f.offset) + " " + kind_word(f.kind) + " elem " + str(f.width) +
               " flag_ptr " + str(f.flag_at);
        dynamic += " " + str(f.offset);
      }
      out += (f.name.empty() ? "" : " name " + f.name) + "\n";
    }
    out += "  npd_present " + str(t.npd_present) + "\n";
    out += "  dynamic" + (dynamic.empty() ? std::string(" none") : dynamic) + "\n";
    out += check_line("fix_ptrs", t.checks.fix_ptrs, t.fix_ptrs_prototype);
    out += check_line("size_ptr", t.checks.size_ptr, t.size_ptr_prototype);
    out += check_line("alloc", t.checks.alloc, t.alloc_prototype);
    out += "  wisp";
    for (uint32_t w : t.wisp) out += " " + str(w);
    out += "\n";
  }
  return out;
}

namespace {

// Reads a manifest line by line. It is generated text, so the reader is
// strict: anything out of place is an error at its line.
class ManifestReader {
 public:
  ManifestReader(const std::string& path, Diagnostics& diags) : path_(path), diags_(diags) {}

  std::optional<std::vector<TypeLayout>> run(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      const size_t first = line.find_first_not_of(" \t\r");
      if (first == std::string::npos || line[first] == '#') continue;
      parse_line(number, line.substr(first));
    }
    finish_type();
    if (layouts_.empty()) fail(1, "no 'type' records");
    if (failed_) return std::nullopt;
    return layouts_;
  }

 private:
  void fail(int line, const std::string& message) {
    diags_.error(path_, line, message);
    failed_ = true;
  }

  bool number(int line, const std::string& word, uint32_t& out) {
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != word.npos ||
        std::stoull(word) > UINT32_MAX) {
      fail(line, "expected a number, found " + quote(word));
      return false;
    }
    out = static_cast<uint32_t>(std::stoull(word));
    return true;
  }

  // "word value word value ...": checks the fixed words and reads the values.
  bool pattern(int line, const std::vector<std::string>& words,
               const std::vector<const char*>& shape, std::vector<uint32_t>& values) {
    if (words.size() != shape.size()) {
      fail(line, "malformed '" + words[0] + "' line");
      return false;
    }
    for (size_t i = 1; i < shape.size(); ++i) {
      if (shape[i] == nullptr) {
        values.emplace_back();
        if (!number(line, words[i], values.back())) return false;
      } else if (words[i] != shape[i]) {
        fail(line, "expected '" + std::string(shape[i]) + "', found " + quote(words[i]));
        return false;
      }
    }
    return true;
  }

  void finish_type() {
    if (!current_) return;
    const TypeLayout& t = *current_;
    const int where = t.lines.table;
    if (t.lines.type_class == 0 || t.lines.fixed_size == 0 || t.lines.count_field == 0 ||
        t.lines.size_check == 0 || t.lines.obj_flags_bit5 == 0 || t.lines.header == 0 ||
        t.lines.flags_at == 0 || t.lines.wisp == 0 || checks_seen_ != 3 || t.fields.empty()) {
      fail(where, "type " + quote(t.name) + " is incomplete");
    }
    layouts_.push_back(std::move(*current_));
    current_.reset();
  }

  void parse_check(int line, const std::string& text) {
    std::istringstream in(text);
    std::string key, which, at;
    in >> key >> which >> at;
    std::string prototype;
    std::getline(in, prototype);
    const size_t open = prototype.find('"');
    const size_t close = prototype.rfind('"');
    uint32_t value = 0;
    if (at != "none" && (!number(line, at, value) || open == close)) {
      fail(line, "malformed 'check' line");
      return;
    }
    if (at != "none") prototype = prototype.substr(open + 1, close - open - 1);
    TypeLayout& t = *current_;
    if (which == "fix_ptrs") {
      t.checks.fix_ptrs = value;
      t.fix_ptrs_prototype = at == "none" ? "" : prototype;
    } else if (which == "size_ptr") {
      t.checks.size_ptr = value;
      t.size_ptr_prototype = prototype;
    } else if (which == "alloc") {
      t.checks.alloc = value;
      t.alloc_prototype = prototype;
    } else {
      fail(line, "unknown check " + quote(which));
      return;
    }
    t.checks_line = line;
    ++checks_seen_;
  }

  // "field OFFSET width W run N flag F" or "array DATA_PTR KIND elem E
  // flag_ptr F", either with "name NAME" at the end for a named field.
  void parse_field(int line, std::vector<std::string> words) {
    LayoutField f;
    f.line = line;
    if (words.size() > 2 && words[words.size() - 2] == "name") {
      f.name = words.back();
      words.resize(words.size() - 2);
    }
    std::vector<uint32_t> v;
    if (words[0] == "field") {
      if (!pattern(line, words, {"", nullptr, "width", nullptr, "run", nullptr, "flag", nullptr},
                   v)) {
        return;
      }
      f.repeat = v[2];
      f.flag_at = v[3];
    } else {
      const bool per_npu = words.size() > 2 && words[2] == "per_npu";
      if (!pattern(
              line, words,
              {"", nullptr, per_npu ? "per_npu" : "counted", "elem", nullptr, "flag_ptr", nullptr},
              v)) {
        return;
      }
      f.kind = per_npu ? ItemKind::kPerNpuArray : ItemKind::kCountedArray;
      f.flag_at = v[2];
    }
    f.offset = v[0];
    f.width = v[1];
    current_->fields.push_back(f);
  }

  void parse_line(int line, const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    const std::string& key = words[0];
    std::vector<uint32_t> v;
    if (key == "type") {
      finish_type();
      current_.emplace();
      checks_seen_ = 0;
      current_->path = path_;
      current_->lines.table = current_->lines.id = line;
      if (words.size() == 3 && number(line, words[1], current_->table_id)) {
        current_->name = words[2];
      } else {
        fail(line, "expected 'type ID NAME'");
      }
      return;
    }
    if (!current_) return fail(line, "expected 'type ID NAME' first");
    TypeLayout& t = *current_;
    if (key == "class") {
      t.lines.type_class = line;
      bool known = false;
      for (const auto& [cls, word] : kClassKeywords) {
        if (words.size() == 2 && words[1] == word) t.type_class = cls, known = true;
      }
      if (!known) fail(line, "malformed 'class' line");
    } else if (key == "fixed_size") {
      t.lines.fixed_size = line;
      if (pattern(line, words, {"", nullptr}, v)) t.fixed_size = v[0];
    } else if (key == "count_param") {
      t.lines.count_field = line;
      if (words.size() == 2 && words[1] == "off") return;
      if (pattern(line, words, {"", "on", nullptr}, v)) t.count_field = v[0];
    } else if (key == "size_check" || key == "obj_flags_bit5") {
      const bool size_check = key == "size_check";
      (size_check ? t.lines.size_check : t.lines.obj_flags_bit5) = line;
      const char* yes = size_check ? "on" : "set";
      const char* no = size_check ? "off" : "clear";
      if (words.size() != 2 || (words[1] != yes && words[1] != no)) {
        return fail(line, "malformed '" + key + "' line");
      }
      (size_check ? t.size_check : t.sets_obj_flags_bit5) = words[1] == yes;
    } else if (key == "header") {
      t.lines.header = line;
      for (size_t i = 1; i < words.size(); ++i) {
        const size_t colon = words[i].find(':');
        HeaderField f;
        if (colon == std::string::npos || !number(line, words[i].substr(0, colon), f.offset) ||
            !number(line, words[i].substr(colon + 1), f.width)) {
          return fail(line, "malformed header field " + quote(words[i]));
        }
        t.header.push_back(f);
      }
    } else if (key == "field" || key == "array") {
      parse_field(line, words);
    } else if (key == "npd_present") {
      t.lines.flags_at = line;
      if (pattern(line, words, {"", nullptr}, v)) t.npd_present = v[0];
    } else if (key == "dynamic") {
      // Derived from the array lines; read for completeness of the record only.
    } else if (key == "check") {
      parse_check(line, text);
    } else if (key == "wisp") {
      t.lines.wisp = line;
      if (pattern(line, words, {"", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}, v)) {
        for (size_t i = 0; i < 6; ++i) t.wisp[i] = v[i];
      }
    } else {
      fail(line, "unknown key " + quote(key));
    }
  }

  const std::string& path_;
  Diagnostics& diags_;
  std::vector<TypeLayout> layouts_;
  std::optional<TypeLayout> current_;
  int checks_seen_ = 0;
  bool failed_ = false;
};

}  // namespace

std::optional<std::vector<TypeLayout>> read_manifest(const std::string& path,
                                                     const std::string& text, Diagnostics& diags) {
  return ManifestReader(path, diags).run(text);
}

}  // namespace tablegen
