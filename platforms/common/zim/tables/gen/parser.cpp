#include "parser.hpp"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

namespace tablegen {
namespace {

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::optional<uint32_t> parse_number(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// "off:w" as a type-header field.
std::optional<HeaderField> parse_header_field(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto offset = parse_number(text.substr(0, colon));
  const auto width = parse_number(text.substr(colon + 1));
  if (!offset || !width) return std::nullopt;
  return HeaderField{*offset, *width};
}

// "off:w", "off:wxn", "off:exN" or "off:exC".
std::optional<FieldItem> parse_field_item(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto offset = parse_number(text.substr(0, colon));
  if (!offset) return std::nullopt;
  const std::string rest = text.substr(colon + 1);
  const auto x = rest.find('x');
  FieldItem item;
  item.offset = *offset;
  const auto width = parse_number(rest.substr(0, x));
  if (!width) return std::nullopt;
  item.width = *width;
  if (x == std::string::npos) return item;
  const std::string suffix = rest.substr(x + 1);
  if (suffix == "N") {
    item.kind = ItemKind::kPerNpuArray;
  } else if (suffix == "C") {
    item.kind = ItemKind::kCountedArray;
  } else {
    const auto repeat = parse_number(suffix);
    if (!repeat) return std::nullopt;
    item.repeat = *repeat;
  }
  return item;
}

std::optional<TypeClass> parse_class(const std::string& text) {
  for (const auto& [cls, word] : kClassKeywords) {
    if (text == word) return cls;
  }
  return std::nullopt;
}

class Parser {
 public:
  Parser(const std::string& path, Diagnostics& diags) : path_(path), diags_(diags) {
    def_.path = path;
    def_.file_name = std::filesystem::path(path).filename().string();
  }

  std::optional<Definition> run(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      const auto hash = line.find('#');
      if (hash != std::string::npos) line.erase(hash);
      const auto words = split_words(line);
      if (!words.empty()) parse_line(number, words);
    }
    require(def_.lines.table, "table", "the type name");
    require(def_.lines.id, "id", "the table id");
    require(def_.lines.type_class, "class", "the variant class");
    require(def_.lines.fixed_size, "fixed_size", "the size of the fixed part");
    require(def_.lines.header, "header", "the type-header fields");
    require(def_.lines.flags_at, "flags_at", "the offset of the presence-flag area");
    require(def_.lines.size_check, "size_check", "'on' or 'off'");
    require(def_.lines.obj_flags_bit5, "obj_flags_bit5", "'set' or 'clear'");
    require(def_.lines.wisp, "wisp", "the six trace identifiers");
    if (def_.fields.empty()) fail(0, "no 'field' lines: a type has data fields");
    if (failed_) return std::nullopt;
    return def_;
  }

 private:
  void fail(int line, const std::string& message) {
    diags_.error(path_, line, message);
    failed_ = true;
  }

  void require(int seen_at, const char* key, const char* what) {
    if (seen_at == 0) fail(0, std::string("missing '") + key + "' (" + what + ")");
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

  std::optional<uint32_t> number(int line, const std::string& key, const std::string& text) {
    auto value = parse_number(text);
    if (!value) fail(line, "'" + key + "': '" + text + "' is not an unsigned 32-bit number");
    return value;
  }

  void parse_line(int line, const std::vector<std::string>& words) {
    const std::string& key = words[0];
    if (key == "field") {
      if (!expect_values(line, words, 1)) return;
      auto item = parse_field_item(words[1]);
      if (!item) {
        fail(line,
             "malformed field '" + words[1] + "': expected off:w, off:wxn, off:exN or off:exC");
        return;
      }
      item->line = line;
      def_.fields.push_back(*item);
    } else if (key == "table") {
      if (first_time(def_.lines.table, line, key) && expect_values(line, words, 1)) {
        def_.name = words[1];
      }
    } else if (key == "id") {
      if (first_time(def_.lines.id, line, key) && expect_values(line, words, 1)) {
        if (auto v = number(line, key, words[1])) def_.table_id = *v;
      }
    } else if (key == "class") {
      if (first_time(def_.lines.type_class, line, key) && expect_values(line, words, 1)) {
        if (auto c = parse_class(words[1])) {
          def_.type_class = *c;
        } else {
          fail(line, "unknown class '" + words[1] +
                         "': expected fixed, size_checked, per_npu, counted or count_only");
        }
      }
    } else if (key == "fixed_size") {
      if (first_time(def_.lines.fixed_size, line, key) && expect_values(line, words, 1)) {
        if (auto v = number(line, key, words[1])) def_.fixed_size = *v;
      }
    } else if (key == "header") {
      if (!first_time(def_.lines.header, line, key)) return;
      for (size_t i = 1; i < words.size(); ++i) {
        auto field = parse_header_field(words[i]);
        if (!field) {
          fail(line, "malformed header field '" + words[i] + "': expected off:w");
          continue;
        }
        def_.header.push_back(*field);
      }
    } else if (key == "flags_at") {
      if (first_time(def_.lines.flags_at, line, key) && expect_values(line, words, 1)) {
        if (auto v = number(line, key, words[1])) def_.flags_at = *v;
      }
    } else if (key == "count_field") {
      if (first_time(def_.lines.count_field, line, key) && expect_values(line, words, 1)) {
        def_.count_field = number(line, key, words[1]);
      }
    } else if (key == "size_check") {
      if (first_time(def_.lines.size_check, line, key) && expect_values(line, words, 1)) {
        if (words[1] == "on" || words[1] == "off") {
          def_.size_check = words[1] == "on";
        } else {
          fail(line, "'size_check' is 'on' or 'off', not '" + words[1] + "'");
        }
      }
    } else if (key == "obj_flags_bit5") {
      if (first_time(def_.lines.obj_flags_bit5, line, key) && expect_values(line, words, 1)) {
        if (words[1] == "set" || words[1] == "clear") {
          def_.sets_obj_flags_bit5 = words[1] == "set";
        } else {
          fail(line, "'obj_flags_bit5' is 'set' or 'clear', not '" + words[1] + "'");
        }
      }
    } else if (key == "wisp") {
      if (first_time(def_.lines.wisp, line, key) && expect_values(line, words, 6)) {
        for (size_t i = 0; i < 6; ++i) {
          if (auto v = number(line, key, words[i + 1])) def_.wisp[i] = *v;
        }
      }
    } else {
      fail(line, "unknown key '" + key + "'");
    }
  }

  const std::string& path_;
  Diagnostics& diags_;
  Definition def_;
  bool failed_ = false;
};

}  // namespace

std::optional<Definition> parse_definition(const std::string& path, const std::string& text,
                                           Diagnostics& diags) {
  return Parser(path, diags).run(text);
}

}  // namespace tablegen
