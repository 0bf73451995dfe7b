// SPDX-License-Identifier: Apache-2.0
#include "gen/read/parser.hpp"

#include <filesystem>
#include <string_view>
#include <vector>

#include "gen/text/limits.hpp"
#include "gen/text/words.hpp"

namespace tablegen {
namespace {

constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";

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
    std::string_view rest = text;
    if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      rest.remove_prefix(kByteOrderMark.size());
    }
    if (!line_ends_are_lf(rest)) return std::nullopt;
    std::vector<std::string> pending;  // comment and blank lines since the last key line
    for (int number = 1; !rest.empty(); ++number) {
      const size_t newline = rest.find('\n');
      std::string_view line = rest.substr(0, newline);
      rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
      const size_t hash = line.find('#');
      std::string_view comment = hash == std::string_view::npos ? "" : line.substr(hash);
      while (!comment.empty() && is_space(comment.back())) comment.remove_suffix(1);
      const auto words = split_words(line.substr(0, hash));
      if (words.empty()) {
        pending.emplace_back(comment);
        continue;
      }
      keep_comments(number, pending, comment);
      parse_line(number, words);
    }
    def_.comments.bottom = std::move(pending);
    // Missing keys are reported where the type begins, or at the top.
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
    if (failed_) return std::nullopt;
    return def_;
  }

 private:
  // A carriage return is a space before a line feed (CRLF files read as LF
  // ones) and a line end nowhere else: a file saved with CR-only line ends
  // would read as one line, the rest of it a comment after the first '#', and
  // give an error for every key. One error says what is wrong instead.
  bool line_ends_are_lf(std::string_view text) {
    int line = 1;
    for (size_t at = 0; at < text.size(); ++at) {
      if (text[at] == '\n') ++line;
      if (text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n')) {
        fail(line,
             "a carriage return without a line feed: the file has CR-only line ends; "
             "save it with LF (or CRLF) line ends");
        return false;
      }
    }
    return true;
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
    const bool digits =
        !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    if (!digits) {
      fail(line, what + " " + quote(text) + " is not a decimal number");
      return std::nullopt;
    }
    if (text.size() > 1 && text[0] == '0') {
      fail(line, what + " " + quote(text) + " has a leading zero; write numbers in plain decimal");
      return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
      if (value > max) break;  // past the bound already: stop before 64 bits wrap
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max) {
      fail(line, what + " " + quote(text) + " is larger than " + std::to_string(max) + ": " + why);
      return std::nullopt;
    }
    return static_cast<uint32_t>(value);
  }

  std::optional<uint32_t> offset(int line, std::string_view text, const std::string& what) {
    return number(line, text, what, kMaxFixedSize, "it would lie beyond the largest fixed part");
  }

  // "off:w" as a type-header field.
  void parse_header_field(int line, const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
      fail(line, "malformed header field " + quote(text) + ": expected off:w");
      return;
    }
    const std::string_view view = text;
    const auto at = offset(line, view.substr(0, colon), "header field offset");
    const auto width = offset(line, view.substr(colon + 1), "header field width");
    if (at && width) def_.header.push_back({*at, *width});
  }

  // "off:w", "off:wxn", "off:exN" or "off:exC", each also without "off:",
  // and the field's name or "".
  void parse_field_item(int line, const std::string& text, const std::string& name) {
    const std::string_view view = text;
    const auto colon = view.find(':');
    const size_t start = colon == std::string_view::npos ? 0 : colon + 1;
    const auto x = view.find('x', start);
    // Without an offset the item is all size and suffix, so a stray byte reads
    // as a malformed item rather than as a bad number.
    const bool offset_less_shape =
        colon != std::string_view::npos ||
        (!view.empty() && view[0] >= '0' && view[0] <= '9' &&
         view.substr(0, x).find_first_not_of("0123456789") == std::string_view::npos);
    if (x + 1 == view.size() || !offset_less_shape) {
      fail(line, "malformed field " + quote(text) +
                     ": expected off:w, off:wxn, off:exN or off:exC, or one without off:");
      return;
    }
    FieldItem item;
    item.line = line;
    item.name = name;
    item.offset_given = colon != std::string_view::npos;
    const std::string_view suffix = x == std::string_view::npos ? "" : view.substr(x + 1);
    if (suffix == "N") item.kind = ItemKind::kPerNpuArray;
    if (suffix == "C") item.kind = ItemKind::kCountedArray;
    const std::optional<uint32_t> at =
        item.offset_given ? offset(line, view.substr(0, colon), "field offset") : 0;
    const std::string_view size_text =
        view.substr(start, x == std::string_view::npos ? std::string_view::npos : x - start);
    const auto size = item.is_array() ? number(line, size_text, "element size", kMaxElementSize,
                                               "one element and its flag must fit a 32-bit object")
                                      : number(line, size_text, "field width", kMaxFixedSize,
                                               "the field would not fit the largest fixed part");
    std::optional<uint32_t> run_length = 1;
    if (!suffix.empty() && !item.is_array()) {
      run_length = number(line, suffix, "run length", kMaxFixedSize,
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
      // An item, then optionally the field's name.
      if (words.size() == 2 || words.size() == 3) {
        parse_field_item(line, words[1], words.size() == 3 ? words[2] : "");
      } else {
        fail(line, "'field' takes an item and an optional name, found " +
                       std::to_string(words.size() - 1) + " values");
      }
    } else if (key == "table") {
      if (first_time(def_.lines.table, line, key) && expect_values(line, words, 1)) {
        def_.name = words[1];
      }
    } else if (key == "id") {
      if (first_time(def_.lines.id, line, key) && expect_values(line, words, 1)) {
        if (auto v = number(line, words[1], "table id", kMaxTableId,
                            "objects store their table id in 16 bits")) {
          def_.table_id = *v;
        }
      }
    } else if (key == "class") {
      if (first_time(def_.lines.type_class, line, key) && expect_values(line, words, 1)) {
        if (auto c = parse_class(words[1])) {
          def_.type_class = *c;
        } else {
          fail(line, "unknown class " + quote(words[1]) +
                         ": expected fixed, size_checked, per_npu, counted or count_only");
        }
      }
    } else if (key == "fixed_size") {
      if (first_time(def_.lines.fixed_size, line, key) && expect_values(line, words, 1)) {
        if (auto v = offset(line, words[1], "fixed size")) def_.fixed_size = *v;
      }
    } else if (key == "header") {
      if (!first_time(def_.lines.header, line, key)) return;
      for (size_t i = 1; i < words.size(); ++i) parse_header_field(line, words[i]);
    } else if (key == "flags_at") {
      if (first_time(def_.lines.flags_at, line, key) && expect_values(line, words, 1)) {
        if (auto v = offset(line, words[1], "presence-flag offset")) def_.flags_at = *v;
      }
    } else if (key == "count_field") {
      if (first_time(def_.lines.count_field, line, key) && expect_values(line, words, 1)) {
        def_.count_field = offset(line, words[1], "count field offset");
      }
    } else if (key == "size_check") {
      if (first_time(def_.lines.size_check, line, key) && expect_values(line, words, 1)) {
        if (words[1] == "on" || words[1] == "off") {
          def_.size_check = words[1] == "on";
        } else {
          fail(line, "'size_check' is 'on' or 'off', not " + quote(words[1]));
        }
      }
    } else if (key == "obj_flags_bit5") {
      if (first_time(def_.lines.obj_flags_bit5, line, key) && expect_values(line, words, 1)) {
        if (words[1] == "set" || words[1] == "clear") {
          def_.sets_obj_flags_bit5 = words[1] == "set";
        } else {
          fail(line, "'obj_flags_bit5' is 'set' or 'clear', not " + quote(words[1]));
        }
      }
    } else if (key == "wisp") {
      if (first_time(def_.lines.wisp, line, key) && expect_values(line, words, 6)) {
        for (size_t i = 0; i < 6; ++i) {
          if (auto v = number(line, words[i + 1], "trace identifier", kMaxWisp,
                              "trace identifiers are unsigned 32-bit values")) {
            def_.wisp[i] = *v;
          }
        }
      }
    } else {
      fail(line, "unknown key " + quote(key));
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
