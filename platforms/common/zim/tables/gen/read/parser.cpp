// SPDX-License-Identifier: Apache-2.0
#include "gen/read/parser.hpp"

#include <filesystem>
#include <string_view>
#include <vector>

#include "codec/decimal.hpp"
#include "codec/item_syntax.hpp"
#include "codec/limits.hpp"
#include "codec/words.hpp"

namespace tablegen {
namespace {

std::optional<TypeClass> parse_class(const std::string& text) {
  for (const auto& [cls, word] : kClassKeywords) {
    if (text == word) return cls;
  }
  return std::nullopt;
}

// Reads one definition. Every number is read into 64 bits and checked against
// its bound before it is stored, so nothing downstream sees a value that could
// make its arithmetic wrap.
class Parser {
 public:
  Parser(const std::string& path, Diagnostics& diags) : path_(path), diags_(diags) {
    def_.path = path;
    def_.file_name = std::filesystem::path(path).filename().string();
  }

  std::optional<Definition> run(const std::string& text) {
    def_.text = text;
    const std::string_view body = without_byte_order_mark(text);
    // A carriage return is a space before a line feed (CRLF files read as LF
    // ones) and a line end nowhere else: a file saved with CR-only line ends
    // would read as one line, the rest of it a comment after the first '#',
    // and give an error for every key. One error says what is wrong instead.
    if (const auto line = lone_carriage_return(body)) {
      fail(*line,
           "a carriage return without a line feed: the file has CR-only line ends; "
           "save it with LF (or CRLF) line ends");
      return std::nullopt;
    }
    std::vector<std::string> pending;  // comment and blank lines since the last key line
    Lines lines(body);
    for (std::string_view line; lines.next(line);) {
      const size_t hash = line.find('#');
      std::string_view comment = hash == std::string_view::npos ? "" : line.substr(hash);
      while (!comment.empty() && is_space(comment.back())) comment.remove_suffix(1);
      const auto words = split_words(line.substr(0, hash));
      if (words.empty()) {
        pending.emplace_back(comment);
        continue;
      }
      keep_comments(lines.number(), pending, comment);
      parse_line(lines.number(), words);
    }
    def_.comments.bottom = std::move(pending);
    require_keys();
    if (failed_) return std::nullopt;
    return def_;
  }

 private:
  // Missing keys are reported where the type begins, or at the top.
  void require_keys() {
    const int where = def_.lines.table != 0 ? def_.lines.table : 1;
    require(where, def_.lines.table, "table", "the type name");
    require(where, def_.lines.id, "id", "the table id");
    require(where, def_.lines.type_class, "class", "the variant class");
    require(where, def_.lines.header, "header", "the type-header fields");
    // fixed_size and flags_at may be left out: layout resolution derives them.
    require(where, def_.lines.size_check, "size_check", "'on' or 'off'");
    require(where, def_.lines.obj_flags_bit5, "obj_flags_bit5", "'set' or 'clear'");
    require(where, def_.lines.wisp, "wisp", "the six trace identifiers");
    if (def_.fields.empty()) fail(where, "no 'field' lines: a type has at least one data field");
  }

  void fail(int line, const std::string& message) {
    diags_.error(path_, line, message);
    failed_ = true;
  }

  // Comment lines before the first key stay at the top of the file; the
  // others move with the key line they precede.
  void keep_comments(int line, std::vector<std::string>& pending, std::string_view trailing) {
    if (!seen_key_) {
      def_.comments.top = std::move(pending);
    } else if (!pending.empty()) {
      def_.comments.before[line] = std::move(pending);
    }
    pending.clear();
    seen_key_ = true;
    if (!trailing.empty()) def_.comments.trailing[line] = std::string(trailing);
  }

  void require(int line, int seen_at, const char* key, const char* what) {
    if (seen_at == 0) fail(line, std::string("missing '") + key + "' (" + what + ")");
  }

  // Records where a key was first given; a repeated key is an error.
  bool first_time(int& seen_at, int line, const std::string& key) {
    if (seen_at != 0) {
      fail(line, "'" + key + "' given twice");
      diags_.note(path_, seen_at, "first given here");
      return false;
    }
    seen_at = line;
    return true;
  }

  bool expect_values(int line, const std::vector<std::string>& words, size_t count) {
    if (words.size() - 1 == count) return true;
    fail(line, "'" + words[0] + "' takes " + std::to_string(count) + " value" +
                   (count == 1 ? "" : "s") + ", found " + std::to_string(words.size() - 1));
    return false;
  }

  // A decimal number from 0 to max; `what` names it and `why` explains max.
  std::optional<uint32_t> number(int line, std::string_view text, const std::string& what,
                                 uint64_t max, const char* why) {
    const Decimal read = read_decimal(text, max);
    switch (read.fault) {
      case DecimalFault::kNone:
        return static_cast<uint32_t>(read.value);
      case DecimalFault::kNotDigits:
        fail(line, what + " " + quote(text) + " is not a decimal number");
        break;
      case DecimalFault::kLeadingZero:
        fail(line,
             what + " " + quote(text) + " has a leading zero; write numbers in plain decimal");
        break;
      case DecimalFault::kTooLarge:
        fail(line,
             what + " " + quote(text) + " is larger than " + std::to_string(max) + ": " + why);
        break;
    }
    return std::nullopt;
  }

  std::optional<uint32_t> offset(int line, std::string_view text, const std::string& what) {
    return number(line, text, what, kMaxFixedSize, "it would lie beyond the largest fixed part");
  }

  // "off:w" as a type-header field.
  void parse_header_field(int line, const std::string& text) {
    const auto parts = split_header_item(text);
    if (!parts) {
      fail(line, "malformed header field " + quote(text) + ": expected off:w");
      return;
    }
    const auto at = offset(line, parts->offset, "header field offset");
    const auto width = offset(line, parts->size, "header field width");
    if (at && width) def_.header.push_back({*at, *width});
  }

  // "off:w", "off:wxn", "off:exN" or "off:exC", each also without "off:",
  // the field's name or "", and the name it had before or "".
  void parse_field_item(int line, const std::string& text, const std::string& name,
                        const std::string& was) {
    const auto parts = split_field_item(text);
    if (!parts) {
      fail(line, "malformed field " + quote(text) +
                     ": expected off:w, off:wxn, off:exN or off:exC, or one without off:");
      return;
    }
    FieldItem item;
    item.line = line;
    item.name = name;
    item.was = was;
    item.offset_given = parts->offset_given;
    if (parts->array() == 'N') item.kind = ItemKind::kPerNpuArray;
    if (parts->array() == 'C') item.kind = ItemKind::kCountedArray;
    const std::optional<uint32_t> at =
        item.offset_given ? offset(line, parts->offset, "field offset") : 0;
    const auto size = item.is_array() ? number(line, parts->size, "element size", kMaxElementSize,
                                               "one element and its flag must fit a 32-bit object")
                                      : number(line, parts->size, "field width", kMaxFixedSize,
                                               "the field would not fit the largest fixed part");
    std::optional<uint32_t> run_length = 1;
    if (!parts->suffix.empty() && !item.is_array()) {
      run_length = number(line, parts->suffix, "run length", kMaxFixedSize,
                          "the run would not fit the largest fixed part");
    }
    if (!at || !size || !run_length) return;
    item.offset = *at;
    item.width = *size;
    item.run_length = *run_length;
    def_.fields.push_back(item);
  }

  void parse_line(int line, const std::vector<std::string>& words) {
    const std::string& key = words[0];
    if (key == "field") {
      // An item, then optionally the field's name, then optionally
      // "was OLD_NAME".
      if (words.size() == 2 || words.size() == 3) {
        parse_field_item(line, words[1], words.size() == 3 ? words[2] : "", "");
      } else if (words.size() == 5 && words[3] == "was") {
        parse_field_item(line, words[1], words[2], words[4]);
      } else if (words.size() == 4 && words[2] == "was") {
        fail(line, "'was' needs the field's name before it: field ITEM NAME was OLD_NAME");
      } else if (words.size() == 4 && words[3] == "was") {
        fail(line, "'was' takes the field's old name: field ITEM NAME was OLD_NAME");
      } else {
        fail(line,
             "'field' takes an item, an optional name and an optional 'was OLD_NAME', found " +
                 std::to_string(words.size() - 1) + " values");
      }
    } else if (key == "table") {
      if (first_time(def_.lines.table, line, key) && expect_values(line, words, 1)) {
        def_.name = words[1];
      }
    } else if (key == "header") {
      if (!first_time(def_.lines.header, line, key)) return;
      for (size_t i = 1; i < words.size(); ++i) parse_header_field(line, words[i]);
    } else if (key == "wisp") {
      if (first_time(def_.lines.wisp, line, key) && expect_values(line, words, 6)) {
        for (size_t i = 0; i < 6; ++i) {
          if (auto v = number(line, words[i + 1], "trace identifier", kMaxWisp,
                              "trace identifiers are unsigned 32-bit values")) {
            def_.wisp[i] = *v;
          }
        }
      }
    } else if (int* seen_at = one_value_key(key)) {
      if (first_time(*seen_at, line, key) && expect_values(line, words, 1)) {
        parse_value(line, key, words[1]);
      }
    } else {
      fail(line, "unknown key " + quote(key));
    }
  }

  // Where a key of one value was first given; nullptr for other keys.
  int* one_value_key(const std::string& key) {
    FactLines& k = def_.lines;
    const std::pair<const char*, int*> keys[] = {{"id", &k.id},
                                                 {"class", &k.type_class},
                                                 {"fixed_size", &k.fixed_size},
                                                 {"flags_at", &k.flags_at},
                                                 {"count_field", &k.count_field},
                                                 {"size_check", &k.size_check},
                                                 {"obj_flags_bit5", &k.obj_flags_bit5}};
    for (const auto& [word, seen_at] : keys) {
      if (key == word) return seen_at;
    }
    return nullptr;
  }

  void parse_value(int line, const std::string& key, const std::string& value) {
    if (key == "id") {
      if (auto v = number(line, value, "table id", kMaxTableId,
                          "objects store their table id in 16 bits")) {
        def_.table_id = *v;
      }
    } else if (key == "class") {
      if (auto c = parse_class(value)) {
        def_.type_class = *c;
      } else {
        fail(line, "unknown class " + quote(value) +
                       ": expected fixed, size_checked, per_npu, counted or count_only");
      }
    } else if (key == "fixed_size") {
      if (auto v = offset(line, value, "fixed size")) def_.fixed_size = *v;
    } else if (key == "flags_at") {
      if (auto v = offset(line, value, "presence-flag offset")) def_.flags_at = *v;
    } else if (key == "count_field") {
      def_.count_field = offset(line, value, "count field offset");
    } else if (key == "size_check") {
      if (value == "on" || value == "off") {
        def_.size_check = value == "on";
      } else {
        fail(line, "'size_check' is 'on' or 'off', not " + quote(value));
      }
    } else if (value == "set" || value == "clear") {  // obj_flags_bit5
      def_.sets_obj_flags_bit5 = value == "set";
    } else {
      fail(line, "'obj_flags_bit5' is 'set' or 'clear', not " + quote(value));
    }
  }

  const std::string& path_;
  Diagnostics& diags_;
  Definition def_;
  bool failed_ = false;
  bool seen_key_ = false;
};

}  // namespace

std::optional<Definition> parse_definition(const std::string& path, const std::string& text,
                                           Diagnostics& diags) {
  return Parser(path, diags).run(text);
}

}  // namespace tablegen
